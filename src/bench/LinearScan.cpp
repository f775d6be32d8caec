// The linear read scan of the whole drive and its result file.
#include <bit>
#include <cstdio>
#include <string>

#include "bench/Bench.h"
#include "bench/BenchMath.h"
#include "bench/BenchReport.h"
#include "bench/Progress.h"
#include "state/Fatal.h"
#include "state/RunDocument.h"

namespace {

// What a scan holds; released on every return, success or not.
struct ScanResources {
    HANDLE Device = INVALID_HANDLE_VALUE;
    HANDLE File = INVALID_HANDLE_VALUE;
    uint32_t* Table = nullptr;
    uint8_t* Buffer = nullptr;
};

// A line that ends the scan early, as printed, kept in the run's document.
void RecordScanFailure(const std::string& printed) {
    RecordValue("/scan", "failure", WithoutLineEnds(printed));
}

uint32_t EndScan(ScanResources* held, uint32_t status) {
    if (held->Table != nullptr) {
        os::VirtualFree(held->Table, 0, MEM_RELEASE);
    }
    if (held->Buffer != nullptr) {
        os::VirtualFree(held->Buffer, 0, MEM_RELEASE);
    }
    if (held->Device != INVALID_HANDLE_VALUE) {
        os::CloseHandle(held->Device);
    }
    if (held->File != INVALID_HANDLE_VALUE) {
        os::CloseHandle(held->File);
    }
    return status;
}

// One write, checked for its result and its count. 0, or 1 after the
// failure line.
uint32_t WriteWhole(HANDLE file, const void* data, uint32_t length) {
    DWORD written = 0;
    if (!os::WriteFile(file, data, length, &written, nullptr)) {
        RecordScanFailure(PrintFailure("\nwrite to file velkrand.rst failed with error code %d\n",
                                       static_cast<int>(os::GetLastError())));
        return 1;
    }
    if (written != length) {
        RecordScanFailure(
            PrintFailure("\nnumber of bytes written (%d) != size of write buffer(%d)\n",
                         static_cast<int>(written), static_cast<int>(length)));
        return 1;
    }
    return 0;
}

}  // namespace

uint32_t ShowDeviceLinearRead(const char* driveName, uint32_t singleStepInKBytes) {
    RecordValue("/scan", "step_kbytes", int64_t{singleStepInKBytes});
    // Refused before anything is opened or divided.
    if (singleStepInKBytes == 0) {
        RecordScanFailure(PrintFailure(
            "\nlinear scan refused: SingleStepInKBytes is 0, the step must be at least 1 "
            "KByte\n"));
        return 1;
    }
    if (singleStepInKBytes > kMaxScanStepKBytes) {
        RecordScanFailure(PrintFailure(
            "\nlinear scan refused: SingleStepInKBytes %u is above the largest step of "
            "%u KBytes\n",
            singleStepInKBytes, kMaxScanStepKBytes));
        return 1;
    }
    const uint32_t stepBytes = singleStepInKBytes * 1024;

    ScanResources held;
    char devicePath[260];
    std::snprintf(devicePath, sizeof devicePath, "\\\\.\\%s", driveName);
    held.Device =
        os::CreateFileA(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held.Device == INVALID_HANDLE_VALUE) {
        RecordScanFailure(PrintFailure("\nunable to get valid handle to %s\n", devicePath));
        return EndScan(&held, 1);
    }

    ULARGE_INTEGER freeToCaller{};
    ULARGE_INTEGER totalBytes{};
    ULARGE_INTEGER totalFree{};
    if (!os::GetDiskFreeSpaceExA(driveName, &freeToCaller, &totalBytes, &totalFree)) {
        RecordScanFailure(PrintFailure("\nerror %d unable to get device size\n",
                                       static_cast<int>(os::GetLastError())));
        return EndScan(&held, 1);
    }
    const uint64_t volumeSize = totalBytes.QuadPart;

    uint32_t stepCount = 0;
    if (!ScanStepCount(volumeSize, stepBytes, &stepCount)) {
        RecordScanFailure(PrintFailure(
            "\nlinear scan refused: %llu steps of %u KBytes do not fit the rate table\n",
            static_cast<unsigned long long>(volumeSize / stepBytes), singleStepInKBytes));
        return EndScan(&held, 1);
    }
    const uint32_t tableLength = stepCount * 4;
    // A volume smaller than one step asks for 0 bytes, which is refused.
    held.Table =
        static_cast<uint32_t*>(os::VirtualAlloc(nullptr, tableLength, MEM_COMMIT, PAGE_READWRITE));
    if (held.Table == nullptr) {
        RecordScanFailure(
            PrintFailure("\nerror %d allocating memory\n", static_cast<int>(os::GetLastError())));
        return EndScan(&held, 1);
    }

    DISK_GEOMETRY geometry{};
    DWORD returned = 0;
    if (os::DeviceIoControl(held.Device, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                            sizeof geometry, &returned, nullptr)) {
        RecordFields("/scan", PrintDriveGeometry(geometry, volumeSize));
    } else {
        const int error = static_cast<int>(os::GetLastError());
        std::printf("\nnon critical error %d recieving drive geometry\n", error);
        RecordValue("/scan", "geometry_error", int64_t{error});
    }

    held.Buffer =
        static_cast<uint8_t*>(os::VirtualAlloc(nullptr, stepBytes, MEM_COMMIT, PAGE_READWRITE));
    if (held.Buffer == nullptr) {
        RecordScanFailure(
            PrintFailure("\nerror %d allocating memory\n", static_cast<int>(os::GetLastError())));
        return EndScan(&held, 1);
    }

    // Reads follow one another from byte 0; only the read lies between the
    // two clock readings, and nothing is printed on standard output until
    // the scan is over. The progress line is drawn between steps.
    ScanProgress progress = StartScanProgress(stepCount, stepBytes);
    for (uint32_t k = 0; k < stepCount; ++k) {
        DWORD got = 0;
        const long before = os::clock();
        const BOOL read = os::ReadFile(held.Device, held.Buffer, stepBytes, &got, nullptr);
        const long after = os::clock();
        if (!read || got != stepBytes) {
            EndProgress();
        }
        if (!read) {
            RecordScanFailure(PrintFailure("error %d reading %s\n",
                                           static_cast<int>(os::GetLastError()), devicePath));
            return EndScan(&held, 1);
        }
        if (got != stepBytes) {
            RecordScanFailure(PrintFailure("\nbytes readen %d != IoRequestSize %d\n",
                                           static_cast<int>(got), static_cast<int>(stepBytes)));
            return EndScan(&held, 1);
        }
        held.Table[k] =
            ScanRate(stepBytes, static_cast<uint32_t>(static_cast<unsigned long>(after - before)));
        ShowScanProgress(&progress, k + 1, held.Table[k], before, after);
    }
    EndProgress();
    RecordFields("/scan", PrintScanListing(held.Table, stepCount));

    // Never overwritten: an existing file (or a link in its place) fails here.
    held.File = os::CreateFileA("velkrand.rst", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held.File == INVALID_HANDLE_VALUE) {
        RecordScanFailure(PrintFailure("\nfile velkrand.rst creation failed with error code %d\n",
                                       static_cast<int>(os::GetLastError())));
        return EndScan(&held, 1);
    }
    // The file is little-endian whatever the host.
    const uint8_t lengthBytes[4] = {
        static_cast<uint8_t>(tableLength), static_cast<uint8_t>(tableLength >> 8),
        static_cast<uint8_t>(tableLength >> 16), static_cast<uint8_t>(tableLength >> 24)};
    if (WriteWhole(held.File, lengthBytes, sizeof lengthBytes) != 0) {
        return EndScan(&held, 1);
    }
    if constexpr (std::endian::native == std::endian::big) {
        for (uint32_t k = 0; k < stepCount; ++k) {
            const uint32_t rate = held.Table[k];
            held.Table[k] =
                (rate >> 24) | ((rate >> 8) & 0xFF00u) | ((rate << 8) & 0xFF0000u) | (rate << 24);
        }
    }
    if (WriteWhole(held.File, held.Table, tableLength) != 0) {
        return EndScan(&held, 1);
    }
    RecordValue("/scan", "result_file", std::string("velkrand.rst"));
    return EndScan(&held, 0);
}
