// velkrand-rst: the rates of a result file as a table, a JSON document or a
// chart. A rate is bytes per millisecond, that is KBytes per second with
// 1 KByte = 1000 bytes; a step that finished within one clock tick stored 0
// and carries no figure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace rst {

// The slowest steps a JSON document names.
constexpr size_t kSlowestSteps = 10;

struct Summary {
    size_t Measured = 0;    // steps with a rate
    size_t Unmeasured = 0;  // steps that stored 0
    uint32_t Min = 0;       // of the measured steps; 0 when none was measured
    uint32_t Max = 0;
    double Mean = 0;              // the measured rates' arithmetic mean
    std::vector<size_t> Slowest;  // step numbers, slowest first, ties by position
};

Summary Summarize(const std::vector<uint32_t>& rates);

// stepBytes 0: the step size is not known, and positions are step numbers.
void WriteCsv(std::ostream& out, const std::vector<uint32_t>& rates, uint64_t stepBytes);
void WriteJson(std::ostream& out, const std::vector<uint32_t>& rates, uint64_t stepBytes,
               const Summary& summary);
void WriteSvg(std::ostream& out, const std::vector<uint32_t>& rates, uint64_t stepBytes,
              const Summary& summary, const std::string& title);

// The whole program on argv: reads standard input from in, writes to out
// unless told a file, and says what went wrong on err. Returns the exit
// status: 0, 1 for a file that cannot be read or written, 2 for a usage
// error.
int RunRst(int argc, const char* const* argv, std::FILE* in, std::ostream& out, std::ostream& err);

}  // namespace rst
