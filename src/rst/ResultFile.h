// The result file of the linear read scan: a 4-byte little-endian table
// length in bytes, then one rate (bytes per millisecond) per step.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace rst {

// The largest table read: 64 Mi steps, a 64 TB medium in 1 MB steps. A
// length field that claims more is refused before anything is allocated.
constexpr uint32_t kMaxTableBytes = 256u << 20;

struct ResultTable {
    std::vector<uint32_t> Rates;
    std::string Error;  // what is wrong with the file; empty when it was read
};

// Reads a whole result file from file, which must end where the table ends.
ResultTable ReadResultFile(std::FILE* file);

}  // namespace rst
