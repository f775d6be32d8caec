// The Linux backend's reading of sysfs: the input describes a sysfs tree,
// one line per file, which is written out; then the opened disk's address,
// its capabilities and its host's inquiry-data answer are read from it as
// the backend reads them, and the answer is walked as the report walks it.
//
//   block NAME               the disk's scsi_device entry (its address)
//   attr PATH VALUE          a file below the disk's block directory
//                            (queue/max_hw_sectors_kb, device/queue_depth, ...)
//   unit NAME BYTES          a unit of the host with its inquiry file
//   claimed NAME             a driver bound to that unit
//   room NUMBER              the size of the caller's answer buffer
//
// Values run to the end of the line, as they are, bytes of any kind.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/units/linux/linux_unit.h"
#include "report/Report.h"

namespace fs = std::filesystem;
namespace linux_unit = os::units::linux_unit;

namespace {

std::string gRoot;

// A name that is one path component and nothing else.
bool IsComponent(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// A path of components below a directory, as written in the input.
bool IsRelativePath(std::string_view path) {
    size_t start = 0;
    int depth = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (!IsComponent(path.substr(start, end - start)) || ++depth > 4) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

void Write(const fs::path& file, std::string_view content) {
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    std::ofstream(file, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::SilenceStdout();
    gRoot = fuzzsupport::ScratchPath("sysfs");
    std::atexit([] {
        std::error_code error;
        fs::remove_all(gRoot, error);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::error_code error;
    fs::remove_all(gRoot, error);
    const std::string block = gRoot + "/block";
    const std::string units = gRoot + "/class/scsi_device/";
    fs::create_directories(block, error);
    uint32_t room = 2048;
    int files = 0;

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start < text.size() && files < 64) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const size_t space = line.find(' ');
        const std::string_view word = line.substr(0, space);
        const std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
        const size_t split = rest.find(' ');
        const std::string_view name = rest.substr(0, split);
        const std::string_view value =
            split == std::string_view::npos ? "" : rest.substr(split + 1);
        if (word == "room") {
            room =
                static_cast<uint32_t>(std::strtoul(std::string(rest).c_str(), nullptr, 10) % 65536);
        } else if (word == "block" && IsComponent(rest)) {
            fs::create_directories(block + "/device/scsi_device/" + std::string(rest), error);
        } else if (word == "attr" && IsRelativePath(name)) {
            Write(block + "/" + std::string(name), value);
        } else if (word == "unit" && IsComponent(name)) {
            Write(units + std::string(name) + "/device/inquiry", value);
        } else if (word == "claimed" && IsComponent(rest)) {
            fs::create_directories(units + std::string(rest) + "/device/driver", error);
        } else {
            continue;
        }
        ++files;
    }

    IO_SCSI_CAPABILITIES capabilities;
    linux_unit::CapabilitiesOfBlock(block, capabilities);
    const auto address = linux_unit::AddressOfBlock(block);
    if (!address) {
        return 0;
    }
    // Exactly the room the caller gives, so that a byte past it shows.
    auto answer = std::make_unique<uint8_t[]>(room);
    uint32_t returned = 0;
    if (linux_unit::InquiryDataOfHost(gRoot, *address, answer.get(), room, returned) == 0) {
        FUZZ_CHECK(returned <= room);
        PrintInquiryData(answer.get(), returned, static_cast<uint8_t>(address->channel),
                         static_cast<uint8_t>(address->target), static_cast<uint8_t>(address->lun));
    }
    return 0;
}
