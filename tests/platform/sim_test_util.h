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

// READ (10) of blocks blocks at lba, as hex.
inline std::string Read10(uint32_t lba, uint32_t blocks) {
    char cdb[40];
    std::snprintf(cdb, sizeof cdb, "28 00 %02x %02x %02x %02x 00 %02x %02x 00", lba >> 24,
                  (lba >> 16) & 0xFF, (lba >> 8) & 0xFF, lba & 0xFF, blocks >> 8, blocks & 0xFF);
    return cdb;
}

struct Answer {
    uint32_t error = 0;
    uint8_t status = 0;
    std::string sense;
    std::string data;  // the bytes transferred
    os::units::ScsiCommand command;
};

// Sends the CDB given in hex with a data buffer of dataLength bytes.
inline Answer Send(os::units::Unit& unit, const std::string& cdbHex, uint32_t dataLength,
                   uint8_t senseCapacity = 24) {
    const std::vector<uint8_t> cdb = testsupport::HexBytes(cdbHex);
    std::vector<uint8_t> data(dataLength, 0);
    Answer answer;
    os::units::ScsiCommand& command = answer.command;
    command.cdb = cdb.data();
    command.cdbLength = static_cast<uint8_t>(cdb.size());
    command.data = data.data();
    command.dataLength = dataLength;
    command.senseCapacity = senseCapacity;
    answer.error = unit.PassThrough(command);
    answer.status = command.status;
    answer.sense = Hex(command.sense, command.senseLength);
    answer.data = Hex(data.data(), command.transferred);
    command.cdb = nullptr;
    command.data = nullptr;
    return answer;
}

// Each test loads its own profile and leaves the default one behind.
class SimTest : public ::testing::Test {
  protected:
    void TearDown() override { os::units::sim::ResetForTesting(); }

    std::string UseProfile(const std::string& profileJson) {
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
