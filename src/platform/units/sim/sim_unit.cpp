// The simulated unit behind the unit interface: every open of a sim name
// reaches the one unit of the process, loaded from its profile at the first
// open; each handle knows only whether it reads through the system cache.
#include <atomic>
#include <cerrno>
#include <cmath>
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
#include "platform/virtual_clock.h"

namespace os::units {
namespace sim {
namespace {

struct Model {
    explicit Model(Profile loaded)
        : profile(std::move(loaded)),
          faults(profile.faults),
          medium(profile),
          hostCache(profile.timing.hostCacheMb),
          id(NextModelId()) {}

    static uint64_t NextModelId() {
        static std::atomic<uint64_t> next{1};
        return next.fetch_add(1);
    }

    const Profile profile;
    Faults faults;
    // The unit as all threads share it on the real clock.
    Medium medium;
    HostCache hostCache;
    const uint64_t id;
};

// On the virtual clock every thread has the unit to itself: its own head,
// buffers and system cache, on its own time line. What a thread measures
// then doesn't depend on how the threads interleave.
struct ThreadUnit {
    uint64_t modelId = 0;
    std::unique_ptr<Medium> medium;
    std::unique_ptr<HostCache> hostCache;
};

ThreadUnit& ThreadUnitOf(const Model& model) {
    thread_local ThreadUnit unit;
    if (unit.modelId != model.id) {
        unit.modelId = model.id;
        unit.medium = std::make_unique<Medium>(model.profile);
        unit.hostCache = std::make_unique<HostCache>(model.profile.timing.hostCacheMb);
    }
    return unit;
}

bool OnVirtualClock(const Model& model) {
    return model.profile.timing.virtualClock && vclock::Active();
}

Medium& MediumOf(Model& model) {
    return OnVirtualClock(model) ? *ThreadUnitOf(model).medium : model.medium;
}
HostCache& HostCacheOf(Model& model) {
    return OnVirtualClock(model) ? *ThreadUnitOf(model).hostCache : model.hostCache;
}

// Where the calling thread stands on the unit's time line, and how it gets
// to the end of an operation: by moving its virtual time (and charging it
// the operation's processor time), or by sleeping.
Nanos Arrival(const Model& model) {
    return OnVirtualClock(model) ? static_cast<Nanos>(vclock::Now()) : RealNow();
}
void Complete(const Model& model, Nanos done) {
    if (OnVirtualClock(model)) {
        vclock::AdvanceTo(static_cast<uint64_t>(done));
        const TimingProfile& timing = model.profile.timing;
        vclock::ChargeProcessor(static_cast<uint64_t>(std::llround(timing.cpuUserUs * 1000)),
                                static_cast<uint64_t>(std::llround(timing.cpuSystemUs * 1000)));
    } else {
        WaitUntil(done);
    }
}

struct Loader {
    std::mutex mutex;
    bool loaded = false;
    std::string path;  // set by tests
    std::shared_ptr<Model> model;
    std::string failure;  // the line that a failed load prints
    std::string source;   // the profile's file, or "built-in default"
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
    loader.source = source;
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
    Nanos hostFreeAt_ = 0;
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
    const Nanos arrival = Arrival(*model_);
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
        Medium& medium = MediumOf(*model_);
        Complete(*model_, answer.readsMedium
                              ? medium.Read(arrival, answer.mediumOffset, answer.mediumLength,
                                            answer.forceUnitAccess)
                              : medium.Command(arrival, answer.transferred));
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
    const Nanos arrival = Arrival(*model_);
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
        HostCache& hostCache = HostCacheOf(*model_);
        if (!unbuffered_ && hostCache.Lookup(offset, count)) {
            Nanos done;
            {
                std::lock_guard<std::mutex> lock(hostMutex_);
                hostFreeAt_ = std::max(arrival, hostFreeAt_) +
                              TransferTime(count, BytesPerSecond(profile.timing.hostCacheMbS));
                done = hostFreeAt_;
            }
            Complete(*model_, done);
        } else {
            Complete(*model_, MediumOf(*model_).Read(arrival, offset, count, false));
            if (!unbuffered_) {
                hostCache.Insert(offset, count);
            }
        }
    }
    got = static_cast<uint32_t>(count);
    return 0;
}

}  // namespace

void ResetForTesting(const std::string& profilePath) {
    {
        Loader& loader = TheLoader();
        std::lock_guard<std::mutex> lock(loader.mutex);
        loader.loaded = false;
        loader.path = profilePath;
        loader.model.reset();
        loader.failure.clear();
    }
    vclock::testing::Reset();
}

}  // namespace sim

}  // namespace os::units

namespace os::vclock {

bool ProfileAsksForVirtualClock(Settings* settings, std::string* profileName) {
    using namespace os::units::sim;
    Loader& loader = TheLoader();
    std::lock_guard<std::mutex> lock(loader.mutex);
    if (!loader.loaded) {
        Load(loader);
    }
    if (loader.model == nullptr || !loader.model->profile.timing.virtualClock) {
        return false;
    }
    const TimingProfile& timing = loader.model->profile.timing;
    settings->startTicks = timing.clockStartMs;
    settings->probeMs = timing.cpuProbeMs;
    settings->probeLoadPercent = timing.cpuProbeLoadPercent;
    *profileName = loader.source;
    return true;
}

}  // namespace os::vclock

namespace os::units {

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
