// The .reg text format that the registry editor exports and imports, read
// into a tree of keys and values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace os::registry {

// The data as an ANSI query returns them: text values are held converted.
struct Value {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: text that the ANSI query converts
// and terminates.
inline bool IsStringType(uint32_t type) {
    return type == 1 || type == 2 || type == 7;
}

// Children and values are keyed by their names folded to lower case, since
// the registry matches names without regard to case. The value named ""
// is the key's default value.
struct Key {
    std::map<std::string, std::unique_ptr<Key>> children;
    std::map<std::string, Value> values;

    const Key* Child(std::string_view name) const;
};

// Lower-cases the ASCII letters of a name.
std::string FoldName(std::string_view name);

// The root key names a section may start with ("HKEY_LOCAL_MACHINE", ...),
// folded.
inline constexpr const char* kLocalMachine = "hkey_local_machine";

struct ParseError {
    size_t line = 0;  // 1-based
    std::string what;
};

// Reads a whole file's bytes (UTF-8 with or without a byte order mark, or
// UTF-16LE with one) into roots, whose children are the folded root key
// names. Sections and value lines apply in file order, as an import would:
// a later value replaces an earlier one, "[-path]" removes a key and
// everything below it, "Name"=- removes a value. Returns false and fills
// error at the first line that is not valid.
bool ParseRegText(std::string_view bytes, Key& roots, ParseError& error);

}  // namespace os::registry
