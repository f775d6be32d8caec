// The simulated unit behind the unit interface: every open of a sim name
// reaches the one unit of the process, loaded from its profile at the first
// open; each handle knows only whether it reads through the system cache.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/errors.h"
#include "platform/units/sim/answers.h"
#include "platform/units/sim/faults.h"
#include "platform/units/sim/profile.h"
#include "platform/units/sim/sim.h"
#include "platform/units/sim/timing.h"
#include "platform/units/unit.h"

namespace os::units {
namespace sim {
namespace {

struct Model {
    explicit Model(Profile loaded)
        : profile(std::move(loaded)),
          faults(profile.faults),
          medium(profile),
          hostCache(profile.timing.hostCacheMb) {}

    const Profile profile;
    Faults faults;
    Medium medium;
    HostCache hostCache;
};

struct Loader {
    std::mutex mutex;
    bool loaded = false;
    std::string path;  // set by tests
    std::shared_ptr<Model> model;
    std::string failure;  // the line that a failed load prints
};

// Never destroyed: workers may still open the unit while the process ends.
Loader& TheLoader() {
    static Loader* loader = new Loader;
    return *loader;
}

void Load(Loader& loader) {
    std::string path = loader.path;
    if (path.empty()) {
        const char* variable = std::getenv(kProfileVariable);
        path = variable != nullptr ? variable : "";
    }
    std::string text = DefaultProfileText();
    const std::string source = path.empty() ? "built-in default" : path;
    try {
        if (!path.empty()) {
            std::ifstream file(path, std::ios::binary);
            std::ostringstream content;
            content << file.rdbuf();
            if (!file) {
                throw ProfileError("cannot read the file", std::strerror(errno));
            }
            text = content.str();
        }
        loader.model = std::make_shared<Model>(ParseProfile(text));
    } catch (const ProfileError& error) {
        loader.failure = "velkrand: simulated unit profile " + source + ": " + error.what();
    }
    loader.loaded = true;
}

class SimUnit final : public Unit {
  public:
    SimUnit(std::shared_ptr<Model> model, bool unbuffered)
        : model_(std::move(model)), unbuffered_(unbuffered) {}

    uint32_t PassThrough(ScsiCommand& command) override;
    uint32_t Capabilities(IO_SCSI_CAPABILITIES& capabilities) override;
    uint32_t InquiryData(uint8_t* out, uint32_t capacity, uint32_t& returned) override;
    uint32_t Geometry(DISK_GEOMETRY& geometry) override;
    uint32_t Size(uint64_t& bytes) override;
    uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) override;

  private:
    // The error of a control call's fault, or 0.
    uint32_t FaultError(FaultOp op) {
        const Fault* fault = model_->faults.Check(Operation{op});
        return fault != nullptr ? fault->error : 0;
    }
    bool Instant() const { return model_->profile.timing.instant; }

    const std::shared_ptr<Model> model_;
    const bool unbuffered_;
    // This handle's copies out of the system cache, one after the other.
    std::mutex hostMutex_;
    Time hostFreeAt_{};
};

uint32_t SimUnit::PassThrough(ScsiCommand& command) {
    const Profile& profile = model_->profile;
    command.pathId = profile.address.pathId;
    command.targetId = profile.address.targetId;
    command.lun = profile.address.lun;
    if (command.cdb == nullptr || command.cdbLength == 0 ||
        (command.dataLength > 0 && command.data == nullptr)) {
        return errors::kInvalidArgument;
    }
    Operation operation{FaultOp::kCommand};
    operation.cdb = command.cdb;
    operation.cdbLength = command.cdbLength;
    const Time arrival = Clock::now();
    const Fault* fault = model_->faults.Check(operation);
    if (fault != nullptr && fault->error != 0) {
        return fault->error;
    }
    CommandAnswer answer;
    if (fault == nullptr || fault->data) {
        answer = AnswerCommand(profile, command.cdb, command.cdbLength, command.data,
                               command.dataLength);
    }
    if (fault != nullptr) {
        answer.status = fault->status;
        answer.sense = fault->sense;
    }
    if (!Instant()) {
        WaitUntil(answer.readsMedium
                      ? model_->medium.Read(arrival, answer.mediumOffset, answer.mediumLength,
                                            answer.forceUnitAccess)
                      : model_->medium.Command(arrival, answer.transferred));
    }
    command.status = answer.status;
    const size_t senseLength =
        std::min<size_t>({answer.sense.size(), command.senseCapacity, sizeof command.sense});
    if (senseLength > 0) {
        std::memcpy(command.sense, answer.sense.data(), senseLength);
    }
    command.senseLength = static_cast<uint8_t>(senseLength);
    command.transferred = answer.transferred;
    return 0;
}

uint32_t SimUnit::Capabilities(IO_SCSI_CAPABILITIES& capabilities) {
    if (const uint32_t error = FaultError(FaultOp::kCapabilities)) {
        return error;
    }
    capabilities = CapabilitiesAnswer(model_->profile);
    return 0;
}

uint32_t SimUnit::InquiryData(uint8_t* out, uint32_t capacity, uint32_t& returned) {
    returned = 0;
    if (out == nullptr && capacity > 0) {
        return errors::kInvalidArgument;
    }
    if (const uint32_t error = FaultError(FaultOp::kInquiryData)) {
        return error;
    }
    const std::vector<uint8_t> answer = InquiryDataAnswer(model_->profile);
    returned = static_cast<uint32_t>(std::min<size_t>(answer.size(), capacity));
    if (returned > 0) {
        std::memcpy(out, answer.data(), returned);
    }
    return 0;
}

uint32_t SimUnit::Geometry(DISK_GEOMETRY& geometry) {
    if (const uint32_t error = FaultError(FaultOp::kGeometry)) {
        return error;
    }
    geometry = GeometryAnswer(model_->profile);
    return 0;
}

uint32_t SimUnit::Size(uint64_t& bytes) {
    if (const uint32_t error = FaultError(FaultOp::kDiskSize)) {
        return error;
    }
    bytes = model_->profile.volumeBytes;
    return 0;
}

uint32_t SimUnit::Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) {
    const Time arrival = Clock::now();
    got = 0;
    const Profile& profile = model_->profile;
    const uint64_t blockLength = profile.capacity.blockLength;
    if (length > 0 && buffer == nullptr) {
        return errors::kInvalidArgument;
    }
    // Reads that bypass the system cache take whole sectors only.
    if (unbuffered_ && (offset % blockLength != 0 || length % blockLength != 0)) {
        return errors::kInvalidArgument;
    }
    // Reads end at the end of the volume.
    uint64_t count = offset >= profile.volumeBytes
                         ? 0
                         : std::min<uint64_t>(length, profile.volumeBytes - offset);
    Operation operation{FaultOp::kRead};
    if (count > 0) {
        operation.firstBlock = offset / blockLength;
        operation.blockCount = (offset + count - 1) / blockLength - operation.firstBlock + 1;
    }
    if (const Fault* fault = model_->faults.Check(operation)) {
        if (fault->error != 0) {
            return fault->error;
        }
        count = std::min<uint64_t>(count, *fault->shortBytes);
    }
    FillPattern(static_cast<uint8_t*>(buffer), offset, count);
    if (!Instant() && count > 0) {
        if (!unbuffered_ && model_->hostCache.Lookup(offset, count)) {
            Time done;
            {
                std::lock_guard<std::mutex> lock(hostMutex_);
                hostFreeAt_ =
                    std::max(arrival, hostFreeAt_) +
                    Seconds(static_cast<double>(count) / (profile.timing.hostCacheMbS * 1e6));
                done = hostFreeAt_;
            }
            WaitUntil(done);
        } else {
            WaitUntil(model_->medium.Read(arrival, offset, count, false));
            if (!unbuffered_) {
                model_->hostCache.Insert(offset, count);
            }
        }
    }
    got = static_cast<uint32_t>(count);
    return 0;
}

}  // namespace

void ResetForTesting(const std::string& profilePath) {
    Loader& loader = TheLoader();
    std::lock_guard<std::mutex> lock(loader.mutex);
    loader.loaded = false;
    loader.path = profilePath;
    loader.model.reset();
    loader.failure.clear();
}

}  // namespace sim

std::shared_ptr<Unit> OpenSimulatedUnit(const std::string&, const OpenOptions& options,
                                        uint32_t& error) {
    sim::Loader& loader = sim::TheLoader();
    std::shared_ptr<sim::Model> model;
    {
        std::lock_guard<std::mutex> lock(loader.mutex);
        if (!loader.loaded) {
            sim::Load(loader);
        }
        if (!loader.failure.empty()) {
            std::fprintf(stderr, "%s\n", loader.failure.c_str());
            error = errors::kInvalidData;
            return nullptr;
        }
        model = loader.model;
    }
    const sim::Fault* fault = model->faults.Check(sim::Operation{sim::FaultOp::kOpen});
    if (fault != nullptr) {
        error = fault->error;
        return nullptr;
    }
    error = 0;
    return std::make_shared<sim::SimUnit>(model, options.unbuffered);
}

}  // namespace os::units
