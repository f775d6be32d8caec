// The report decoders on answers of a unit or a driver: the first byte
// picks the decoder, the rest is the answer, handed over in a buffer of
// exactly its length (the mode pages and the capacity in buffers of the
// sizes their callers have).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "report/Report.h"
#include "state/RunState.h"

namespace {

using Decoder = Fields (*)(const uint8_t*);

constexpr Decoder kModePageDecoders[] = {
    PrintRecoveryPage, PrintDisconnectPage,  PrintFormatPage,  PrintGeometryPage,
    PrintFlexiblePage, PrintVerifyPage,      PrintCachingPage, PrintPeripheralPage,
    PrintControlPage,  PrintMediumTypesPage, PrintNotchPage,
};

// A copy of the answer in a buffer of size bytes, zeros after the answer.
std::unique_ptr<uint8_t[]> Exactly(const uint8_t* data, size_t length, size_t size) {
    auto buffer = std::make_unique<uint8_t[]>(size);
    std::memcpy(buffer.get(), data, std::min(length, size));
    return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input input(data, size);
    const uint8_t choice = input.Byte();
    switch (choice % 5) {
        case 0: {  // the inquiry-data answer and the unit it looks for
            const uint8_t pathId = input.Byte();
            const uint8_t targetId = input.Byte();
            const uint8_t lun = input.Byte();
            const auto length = static_cast<uint32_t>(std::min<size_t>(input.RestSize(), 2048));
            const auto answer = Exactly(input.Rest(), length, length);
            PrintInquiryData(answer.get(), length, pathId, targetId, lun);
            break;
        }
        case 1: {  // a defect list in a buffer of its own length
            const auto length = static_cast<uint32_t>(std::min<size_t>(input.RestSize(), 65535));
            const auto list = Exactly(input.Rest(), length, length);
            PrintDefectList("grown\n", list.get(), length);
            break;
        }
        case 2: {  // one mode page answer through every decoder
            const auto answer = Exactly(input.Rest(), input.RestSize(), kModeSenseLength);
            for (const Decoder decoder : kModePageDecoders) {
                decoder(answer.get());
            }
            break;
        }
        case 3: {  // READ CAPACITY data
            const auto capacity = Exactly(input.Rest(), input.RestSize(), 8);
            PrintCapacity(capacity.get());
            break;
        }
        default: {  // the adapter's capabilities record
            IO_SCSI_CAPABILITIES capabilities;
            std::memset(&capabilities, 0, sizeof capabilities);
            std::memcpy(&capabilities, input.Rest(),
                        std::min(input.RestSize(), sizeof capabilities));
            PrintAdapterCapabilities(capabilities);
            break;
        }
    }
    return 0;
}
