// Placeholders until the report lands.
#include "report/Report.h"

void OpenReportDevice() {}
void ReportAdapterCapabilities() {}
void CheckUnitReady() {}
void ReportInquiryData() {}
void ReadCapacityReport() {}
void PrintAdapterCapabilities(const IO_SCSI_CAPABILITIES&) {}
void PrintInquiryData(const uint8_t*, uint32_t, uint8_t, uint8_t, uint8_t) {}
void PrintCapacity(const uint8_t*) {}
void ShowDefectLists() {}
bool ReadDefectList(uint8_t) {
    return false;
}
void PrintDefectList(const char*, const uint8_t*, uint32_t) {}
void ShowModePages() {}
bool SenseModePage(uint8_t) {
    return false;
}
void PrintRecoveryPage(const uint8_t*) {}
void PrintDisconnectPage(const uint8_t*) {}
void PrintFormatPage(const uint8_t*) {}
void PrintGeometryPage(const uint8_t*) {}
void PrintFlexiblePage(const uint8_t*) {}
void PrintVerifyPage(const uint8_t*) {}
void PrintCachingPage(const uint8_t*) {}
void PrintPeripheralPage(const uint8_t*) {}
void PrintControlPage(const uint8_t*) {}
void PrintMediumTypesPage(const uint8_t*) {}
void PrintNotchPage(const uint8_t*) {}
