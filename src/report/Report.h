// The device information report: adapter, unit, capacity, defect lists and
// mode pages. The senders use the report handle and the run state's request
// blocks; the decoders (Print...) take returned bytes and print, nothing more.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Adapter and unit. Each of the first four ends the run on failure.
void OpenReportDevice();
void ReportAdapterCapabilities();
void CheckUnitReady();
void ReportInquiryData();
void ReadCapacityReport();

void PrintAdapterCapabilities(const IO_SCSI_CAPABILITIES& capabilities);
// answerLength: how many bytes of the answer are valid (at most 2048).
void PrintInquiryData(const uint8_t* buffer, uint32_t answerLength, uint8_t pathId,
                      uint8_t targetId, uint8_t lun);
void PrintCapacity(const uint8_t* data);

// Defect lists.
void ShowDefectLists();
bool ReadDefectList(uint8_t listFormat);
void PrintDefectList(const char* title, const uint8_t* data, uint32_t size);

// Mode pages. Every decoder takes the 192 returned data bytes.
constexpr uint32_t kModeSenseLength = 192;
void ShowModePages();
bool SenseModePage(uint8_t pageCode);
void PrintRecoveryPage(const uint8_t* data);
void PrintDisconnectPage(const uint8_t* data);
void PrintFormatPage(const uint8_t* data);
void PrintGeometryPage(const uint8_t* data);
void PrintFlexiblePage(const uint8_t* data);
void PrintVerifyPage(const uint8_t* data);
void PrintCachingPage(const uint8_t* data);
void PrintPeripheralPage(const uint8_t* data);
void PrintControlPage(const uint8_t* data);
void PrintMediumTypesPage(const uint8_t* data);
void PrintNotchPage(const uint8_t* data);
