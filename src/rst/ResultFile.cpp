#include "rst/ResultFile.h"

#include <cerrno>
#include <cstring>

namespace rst {
namespace {

uint32_t LittleEndian32(const unsigned char* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

// Reads up to length bytes; a read error ends the read with its text.
size_t ReadUpTo(std::FILE* file, unsigned char* into, size_t length, std::string* error) {
    const size_t got = std::fread(into, 1, length, file);
    if (got < length && std::ferror(file)) {
        *error = std::string("cannot read: ") + std::strerror(errno);
    }
    return got;
}

}  // namespace

ResultTable ReadResultFile(std::FILE* file) {
    ResultTable table;
    std::string& error = table.Error;
    unsigned char field[4];
    const size_t got = ReadUpTo(file, field, sizeof field, &error);
    if (!error.empty()) {
        return table;
    }
    if (got == 0) {
        error = "empty file, not a result file";
        return table;
    }
    if (got < sizeof field) {
        error = "only " + std::to_string(got) +
                " bytes, too short for the 4-byte length field: not a result file";
        return table;
    }
    const uint32_t length = LittleEndian32(field);
    const std::string claim = "length field " + std::to_string(length);
    if (length % 4 != 0) {
        error = claim + " is not a multiple of 4: not a result file";
        return table;
    }
    if (length == 0) {
        error = claim + ": the file holds no steps";
        return table;
    }
    if (length > kMaxTableBytes) {
        error = claim + " claims " + std::to_string(length / 4) + " steps, more than the " +
                std::to_string(kMaxTableBytes / 4) + " read at most: not a result file";
        return table;
    }
    // Read in place, then each rate from its little-endian bytes.
    table.Rates.resize(length / 4);
    auto* bytes = reinterpret_cast<unsigned char*>(table.Rates.data());
    const size_t read = ReadUpTo(file, bytes, length, &error);
    unsigned char extra;
    if (error.empty() && read < length) {
        error = "truncated table: the " + claim + " needs " + std::to_string(length) +
                " bytes after it, the file holds " + std::to_string(read);
    } else if (error.empty() && ReadUpTo(file, &extra, 1, &error) != 0) {
        error = claim + " disagrees with the file's size, which is more than 4 + " +
                std::to_string(length) + " bytes: not a result file";
    }
    if (!error.empty()) {
        table.Rates.clear();
        return table;
    }
    for (uint32_t& rate : table.Rates) {
        unsigned char stored[4];
        std::memcpy(stored, &rate, sizeof stored);
        rate = LittleEndian32(stored);
    }
    return table;
}

}  // namespace rst
