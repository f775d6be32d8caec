// The simulated unit's tests: a unit opened on a profile written for the
// test, commands given and answers read as hex text.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/units/sim/sim.h"
#include "platform/units/unit.h"
#include "support/capture.h"

namespace simtest {

inline std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += byte;
    }
    return text;
}

// Sends the CDB given in hex with a data buffer of dataLength bytes; the
// outcome as "E" and the error, the data or "ok" when there are none, or
// "S" and the status, the sense and whether data came too.
inline std::string Send(os::units::Unit& unit, const std::string& cdbHex, uint32_t dataLength,
                        uint8_t senseCapacity = 24, os::units::ScsiCommand* answered = nullptr) {
    const std::vector<uint8_t> cdb = testsupport::HexBytes(cdbHex);
    std::vector<uint8_t> data(dataLength);
    os::units::ScsiCommand command;
    command.cdb = cdb.data();
    command.cdbLength = static_cast<uint8_t>(cdb.size());
    command.data = data.data();
    command.dataLength = dataLength;
    command.senseCapacity = senseCapacity;
    const uint32_t error = unit.PassThrough(command);
    if (answered != nullptr) {
        *answered = command;
    }
    const std::string sense = Hex(command.sense, command.senseLength);
    const std::string bytes = Hex(data.data(), command.transferred);
    if (error == 0 && command.status == 0 && sense.empty()) {
        return bytes.empty() ? "ok" : bytes;
    }
    // Appended piece by piece: "E" + text trips a false overlap warning of
    // the Windows cross compiler.
    std::string outcome = error != 0 ? "E" : "S";
    outcome += std::to_string(error != 0 ? error : command.status);
    if (error == 0) {
        outcome.append(sense.empty() ? "" : " ").append(sense);
        outcome += bytes.empty() ? "" : " +data";
    }
    return outcome;
}

// Each test loads its own profile and leaves the default one behind.
class SimTest : public ::testing::Test {
  protected:
    void TearDown() override { os::units::sim::ResetForTesting(); }

    std::string UseProfile(const std::string& profileJson) {  // for the opens that follow
        const std::string path = dir_.Write("profile.json", profileJson);
        os::units::sim::ResetForTesting(path);
        return path;
    }

    std::shared_ptr<os::units::Unit> Open(bool unbuffered = false) {
        uint32_t error = 0;
        auto unit = os::units::OpenUnit("sim0", {unbuffered}, error);
        EXPECT_NE(unit, nullptr) << "open failed with " << error;
        return unit;
    }

    testsupport::TempDir dir_;
};

}  // namespace simtest
