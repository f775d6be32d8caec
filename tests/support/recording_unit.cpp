#include "support/recording_unit.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>

namespace testsupport {
namespace {

std::mutex installedMutex;
std::map<std::string, std::shared_ptr<RecordingUnit>> installed;  // by lower-case name

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

uint32_t RecordingUnit::PassThrough(os::units::ScsiCommand& command) {
    std::lock_guard<std::mutex> lock(mutex);
    commands.push_back({std::vector<uint8_t>(command.cdb, command.cdb + command.cdbLength),
                        command.data, command.dataLength, command.timeoutSeconds,
                        command.senseCapacity});
    if (answer.error != 0) {
        return answer.error;
    }
    command.status = answer.status;
    const size_t senseBytes = std::min(answer.sense.size(), sizeof command.sense);
    std::copy_n(answer.sense.begin(), senseBytes, command.sense);
    command.senseLength = answer.senseLength.value_or(static_cast<uint8_t>(senseBytes));
    const size_t dataBytes = std::min<size_t>(answer.data.size(), command.dataLength);
    std::copy_n(answer.data.begin(), dataBytes, command.data);
    command.transferred = answer.transferred.value_or(static_cast<uint32_t>(dataBytes));
    command.pathId = answer.pathId;
    command.targetId = answer.targetId;
    command.lun = answer.lun;
    return 0;
}

uint32_t RecordingUnit::Capabilities(IO_SCSI_CAPABILITIES& out) {
    out = capabilities;
    return queryError;
}

uint32_t RecordingUnit::InquiryData(uint8_t* out, uint32_t capacity, uint32_t& returned) {
    returned = static_cast<uint32_t>(std::min<size_t>(inquiry.size(), capacity));
    std::copy_n(inquiry.begin(), returned, out);
    return queryError;
}

uint32_t RecordingUnit::Geometry(DISK_GEOMETRY& out) {
    out = geometry;
    return queryError;
}

uint32_t RecordingUnit::Size(uint64_t& bytes) {
    bytes = medium.size();
    return queryError;
}

uint32_t RecordingUnit::Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) {
    std::lock_guard<std::mutex> lock(mutex);
    readOffsets.push_back(offset);
    readBuffers.push_back(buffer);
    got = queryError != 0 || offset >= medium.size()
              ? 0
              : static_cast<uint32_t>(std::min<uint64_t>(length, medium.size() - offset));
    std::copy_n(medium.begin() + static_cast<std::ptrdiff_t>(got ? offset : 0), got,
                static_cast<uint8_t*>(buffer));
    return queryError;
}

std::shared_ptr<RecordingUnit> InstallRecordingUnit(const std::string& name) {
    os::units::RegisterUnitFactory(
        "rec",
        [](const std::string& opened, const os::units::OpenOptions& options,
           uint32_t& error) -> std::shared_ptr<os::units::Unit> {
            std::lock_guard<std::mutex> lock(installedMutex);
            const auto found = installed.find(Lower(opened));
            if (found == installed.end()) {
                error = ENOENT;
                return nullptr;
            }
            std::lock_guard<std::mutex> unitLock(found->second->mutex);
            found->second->opens.push_back(options);
            return found->second;
        });
    auto unit = std::make_shared<RecordingUnit>();
    std::lock_guard<std::mutex> lock(installedMutex);
    installed[Lower(name)] = unit;
    return unit;
}

}  // namespace testsupport
