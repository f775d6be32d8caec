// The profile's faults: which operation of the process fails, and how.
// Every fault counts the operations it matches, over all handles and
// threads; it acts on the nth to the (nth + count - 1)th of them.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/units/sim/profile.h"

namespace os::units::sim {

// One operation as the faults see it.
struct Operation {
    FaultOp op = FaultOp::kOpen;
    const uint8_t* cdb = nullptr;  // kCommand
    uint8_t cdbLength = 0;
    // kRead: the blocks the read touches (none when blockCount is 0).
    uint64_t firstBlock = 0;
    uint64_t blockCount = 0;
};

class Faults {
  public:
    explicit Faults(std::vector<Fault> faults);

    // Counts the operation for every fault that matches it; returns the
    // first of them whose turn it is, or null.
    const Fault* Check(const Operation& operation);

  private:
    const std::vector<Fault> faults_;
    std::mutex mutex_;
    std::vector<uint64_t> seen_;
};

}  // namespace os::units::sim
