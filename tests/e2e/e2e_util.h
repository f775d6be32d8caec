// Runs of the built program on a configuration file and a simulated unit,
// and the pieces of its output the tests compare.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/capture.h"

namespace e2e {

using nlohmann::json;
using Values = std::vector<std::pair<std::string, std::string>>;

inline std::string Dword(uint32_t value) {
    char data[16];
    std::snprintf(data, sizeof data, "dword:%08x", value);
    return data;
}

// The nine values in the order they are read: the report of the simulated
// unit, and no workers.
inline const Values kValues = {{"NumberOfThreads", Dword(0)},       {"ShowDefectList", Dword(1)},
                               {"DebugOutput", Dword(0)},           {"SameSectorIo", Dword(0)},
                               {"DriveToTest", "\"sim0\""},         {"ShowCacheSpeed", Dword(1)},
                               {"NumberOfIoRequests", Dword(512)},  {"SoftwareIo", Dword(0)},
                               {"SingleStepInKBytes", Dword(16384)}};

// kValues under key with changes, the last change winning and an empty data
// removing the value; written in reverse, so that the order of reading cannot
// come from the file.
inline std::string RegText(const Values& changes,
                           const std::string& key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand") {
    std::string text = "Windows Registry Editor Version 5.00\n\n; settings\n[" + key + "]\n";
    for (auto value = kValues.rbegin(); value != kValues.rend(); ++value) {
        std::string data = value->second;
        for (const auto& [name, changed] : changes) {
            data = name == value->first ? changed : data;
        }
        text += data.empty() ? "" : "\"" + value->first + "\"=" + data + "\n";
    }
    return text;
}

// Runs the program in dir on the simulated unit profile describes (without
// delays unless it gives timing), writing the run's document to jsonPath.
inline testsupport::ProcessResult RunVelkrand(const testsupport::TempDir& dir,
                                              const Values& changes, const json* unit,
                                              [[maybe_unused]] bool onTerminal = false,
                                              const std::string& jsonPath = "") {
    json profile = *unit;
    if (!profile.contains("timing")) {
        profile["timing"]["instant"] = true;
    }
    const std::map<std::string, std::string> env = {
        {"VELKRAND_REGISTRY", dir.Write("velkrand.reg", RegText(changes))},
        {"VELKRAND_SIM_PROFILE", dir.Write("unit.json", profile.dump())},
        {"VELKRAND_JSON", jsonPath}};
#ifndef _WIN32
    if (onTerminal) {
        return testsupport::RunProgramOnTerminal(VELKRAND_BINARY, dir.path(), env, 60);
    }
#endif
    return testsupport::RunProgram(VELKRAND_BINARY, dir.path(), env, 60);
}

// What follows the first begin, up to the first end after it (or the end);
// a missing marker gives a text no expectation matches.
inline std::string Between(const std::string& out, const std::string& begin,
                           const std::string& end) {
    const size_t from = out.find(begin);
    const size_t start = from == std::string::npos ? 0 : from + begin.size();
    const size_t to = end.empty() ? out.size() : out.find(end, start);
    if (from == std::string::npos || to == std::string::npos) {
        return "<no " + begin + " ... " + end + ">";
    }
    return out.substr(start, to - start);
}

// Replaces the rest of the line after the first label by value.
inline std::string SetLine(std::string text, const std::string& label, const std::string& value) {
    const size_t at = text.find(label);
    if (at == std::string::npos) {
        return "<no " + label + ">";
    }
    const size_t start = at + label.size();
    return text.replace(start, text.find('\n', start) - start, value);
}

}  // namespace e2e
