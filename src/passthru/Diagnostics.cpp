#include "passthru/Diagnostics.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kMessageBufferSize = 80;

template <typename Block>
void PrintStatusResultsOf(BOOL result, uint32_t bytesReturned, const Block* block,
                          uint32_t dumpLength) {
    if (result == 0) {
        const DWORD code = os::GetLastError();
        std::printf("error: %d  ", static_cast<int>(code));
        PrintErrorMessage(code);
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(block);
    const uint8_t status = bytes[offsetof(SCSI_PASS_THROUGH, ScsiStatus)];
    if (status != 0) {
        PrintSenseInfo(block);
        return;
    }
    uint32_t transferLength = 0;
    std::memcpy(&transferLength, bytes + offsetof(SCSI_PASS_THROUGH, DataTransferLength),
                sizeof transferLength);
    std::printf("\nerror: Scsi status: %02Xh, Bytes returned: %Xh, ", status, bytesReturned);
    std::printf("data buffer length: %Xh\n\n\n", transferLength);
    // The dump describes this block and nothing behind it.
    PrintDataBuffer(block, dumpLength < sizeof(Block) ? dumpLength : uint32_t{sizeof(Block)});
}

}  // namespace

void PrintErrorMessage(uint32_t errorCode) {
    char message[kMessageBufferSize];
    const DWORD length = os::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, errorCode, 0,
                                            message, kMessageBufferSize, nullptr);
    if (length == 0) {
        std::printf("format message failed. error: %d\n", static_cast<int>(os::GetLastError()));
        return;
    }
    std::printf("%s\n", message);
}

void PrintStatusResults(BOOL result, uint32_t bytesReturned, const PassThruBlock* block,
                        uint32_t dumpLength) {
    PrintStatusResultsOf(result, bytesReturned, block, dumpLength);
}

void PrintStatusResults(BOOL result, uint32_t bytesReturned, const PassThruDirBlock* block,
                        uint32_t dumpLength) {
    PrintStatusResultsOf(result, bytesReturned, block, dumpLength);
}

void PrintSenseInfo(const void* block) {
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    std::printf("\nStrange reaction: SCSI Status: %02Xh\n\n",
                bytes[offsetof(SCSI_PASS_THROUGH, ScsiStatus)]);
    uint32_t length = bytes[offsetof(SCSI_PASS_THROUGH, SenseInfoLength)];
    if (length == 0) {
        return;
    }
    // A driver may claim up to 255 sense bytes; the sense area holds 32.
    if (length > kSenseAreaSize) {
        length = kSenseAreaSize;
    }
    std::printf("SCSI Sense Info:\n");
    std::printf("--------------------------------------------------------------\n");
    for (uint32_t i = 0; i < length; ++i) {
        std::printf("%02X ", bytes[kSenseOffset + i]);
    }
    std::printf("\n\n");
}

void PrintDataBuffer(const void* buffer, uint32_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    std::printf("      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n");
    std::printf("      ---------------------------------------------------------------\n");
    for (uint32_t i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            std::printf(" %03X  ", i);
        }
        std::printf("%02X  ", bytes[i]);
        const uint32_t printed = i + 1;
        if (printed % 8 == 0) {
            std::printf(" ");
        }
        if (printed % 16 == 0) {
            std::printf("\n");
        }
    }
    std::printf("\n\n");
}
