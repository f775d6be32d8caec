// The device information report: adapter, unit, capacity, defect lists and
// mode pages. The senders use the report handle and the run state's request
// blocks; the decoders (Print...) take returned bytes and print, nothing more.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "state/Fields.h"

// Adapter and unit. Each of the first four ends the run on failure.
void OpenReportDevice();
void ReportAdapterCapabilities();
void CheckUnitReady();
void ReportInquiryData();
void ReadCapacityReport();

Fields PrintAdapterCapabilities(const IO_SCSI_CAPABILITIES& capabilities);
// answerLength: how many bytes of the answer are valid (at most 2048).
void PrintInquiryData(const uint8_t* buffer, uint32_t answerLength, uint8_t pathId,
                      uint8_t targetId, uint8_t lun);
Fields PrintCapacity(const uint8_t* data);

// Defect lists.
void ShowDefectLists();
bool ReadDefectList(uint8_t listFormat);
Fields PrintDefectList(const char* title, const uint8_t* data, uint32_t size);

// Mode pages. Every decoder takes the 192 returned data bytes, prints the
// page and returns what it decoded.
constexpr uint32_t kModeSenseLength = 192;
void ShowModePages();
bool SenseModePage(uint8_t pageCode);
Fields PrintRecoveryPage(const uint8_t* data);
Fields PrintDisconnectPage(const uint8_t* data);
Fields PrintFormatPage(const uint8_t* data);
Fields PrintGeometryPage(const uint8_t* data);
Fields PrintFlexiblePage(const uint8_t* data);
Fields PrintVerifyPage(const uint8_t* data);
Fields PrintCachingPage(const uint8_t* data);
Fields PrintPeripheralPage(const uint8_t* data);
Fields PrintControlPage(const uint8_t* data);
Fields PrintMediumTypesPage(const uint8_t* data);
Fields PrintNotchPage(const uint8_t* data);
