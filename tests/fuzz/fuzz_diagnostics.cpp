// The diagnostics of a failed request on blocks as a driver returns them:
// status, sense length and transferred length taken from the input, with
// the call's result, its byte count, the length to dump and the system
// error code; then a dump of the rest of the input.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "platform/win32.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input input(data, size);
    const uint8_t flags = input.Byte();
    const BOOL result = (flags & 1) != 0 ? TRUE : FALSE;
    const uint32_t returned = input.U32();
    const uint32_t dumpLength = input.U32();
    const uint32_t lastError = input.U32();
    if ((flags & 2) != 0) {
        auto block = std::make_unique<PassThruBlock>();
        std::memcpy(block.get(), input.Rest(), std::min(input.RestSize(), sizeof *block));
        input.Skip(sizeof *block);
        os::SetLastError(lastError);
        PrintStatusResults(result, returned, block.get(), dumpLength);
        PrintSenseInfo(block.get());
    } else {
        auto block = std::make_unique<PassThruDirBlock>();
        std::memcpy(block.get(), input.Rest(), std::min(input.RestSize(), sizeof *block));
        input.Skip(sizeof *block);
        os::SetLastError(lastError);
        PrintStatusResults(result, returned, block.get(), dumpLength);
        PrintSenseInfo(block.get());
    }
    const auto length = static_cast<uint32_t>(input.RestSize());
    auto rest = std::make_unique<uint8_t[]>(length);
    std::memcpy(rest.get(), input.Rest(), length);
    PrintDataBuffer(rest.get(), length);
    return 0;
}
