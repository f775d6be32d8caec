// Helpers of the report tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "report/Report.h"
#include "support/capture.h"

namespace reporttest {

// As many lines of text as expected has, starting with the line that begins
// like expected's first line up to its colon; empty when there is none.
inline std::string LinesLike(const std::string& text, const std::string& expected) {
    const std::string label = "\n" + expected.substr(0, expected.find(':') + 1);
    const size_t found = ("\n" + text).find(label);
    if (found == std::string::npos) {
        return "";
    }
    size_t end = found;
    for (char c : expected) {
        if (c == '\n') {
            const size_t next = text.find('\n', end);
            end = next == std::string::npos ? text.size() : next + 1;
        }
    }
    return text.substr(found, end - found);
}

// A MODE SENSE answer: header and block descriptor, then the page bytes
// head, and the bytes more from page byte at on.
using ModeData = std::array<uint8_t, kModeSenseLength>;
inline ModeData ModePage(const char* head, size_t at = 0, const char* more = "") {
    ModeData data{};
    const std::vector<uint8_t> first = testsupport::HexBytes(head);
    const std::vector<uint8_t> second = testsupport::HexBytes(more);
    for (size_t i = 0; i < first.size(); ++i) {
        data[12 + i] = first[i];
    }
    for (size_t i = 0; i < second.size(); ++i) {
        data[12 + at + i] = second[i];
    }
    return data;
}

}  // namespace reporttest
