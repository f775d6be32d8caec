#include "platform/units/sim/faults.h"

namespace os::units::sim {
namespace {

bool Overlaps(const Fault& fault, uint64_t first, uint64_t count) {
    return count > 0 && first <= *fault.lastLba && first + count - 1 >= *fault.firstLba;
}

bool Matches(const Fault& fault, const Operation& operation) {
    if (fault.op != operation.op) {
        return false;
    }
    if (operation.op == FaultOp::kRead) {
        return !fault.firstLba || Overlaps(fault, operation.firstBlock, operation.blockCount);
    }
    if (operation.op != FaultOp::kCommand) {
        return true;
    }
    const uint8_t* cdb = operation.cdb;
    const uint8_t length = operation.cdbLength;
    if (fault.opcode && (length < 1 || cdb[0] != *fault.opcode)) {
        return false;
    }
    if (fault.page && (length < 3 || (cdb[2] & 0x3F) != *fault.page)) {
        return false;
    }
    if (fault.list) {
        const uint8_t bit = *fault.list == DefectListKind::kGrown ? 0x08 : 0x10;
        if (length < 3 || (cdb[2] & bit) == 0) {
            return false;
        }
    }
    if (fault.firstLba) {
        if (length < 10) {
            return false;
        }
        const uint64_t lba =
            uint64_t{cdb[2]} << 24 | uint64_t{cdb[3]} << 16 | uint64_t{cdb[4]} << 8 | cdb[5];
        const uint64_t blocks = uint64_t{cdb[7]} << 8 | cdb[8];
        return Overlaps(fault, lba, blocks);
    }
    return true;
}

}  // namespace

Faults::Faults(std::vector<Fault> faults) : faults_(std::move(faults)), seen_(faults_.size(), 0) {}

const Fault* Faults::Check(const Operation& operation) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Fault* firing = nullptr;
    for (size_t i = 0; i < faults_.size(); ++i) {
        const Fault& fault = faults_[i];
        if (!Matches(fault, operation)) {
            continue;
        }
        const uint64_t seen = ++seen_[i];
        const bool due = seen >= fault.nth &&
                         (fault.count < 0 || seen - fault.nth < static_cast<uint64_t>(fault.count));
        if (due && firing == nullptr) {
            firing = &fault;
        }
    }
    return firing;
}

}  // namespace os::units::sim
