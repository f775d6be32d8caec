// What the mode page decoders share: where the page lies in the answer, and
// tables of labelled lines decoded in order.
#pragma once

#include <cstdint>
#include <span>

#include "state/Fields.h"

// A four-byte mode parameter header and one eight-byte block descriptor are
// taken to come first, so the page starts here.
constexpr uint32_t kModePageStart = 12;

enum class PageField : uint8_t {
    Byte,  // the bits of mask, shifted down, in decimal
    Be16,  // big-endian over two bytes, in decimal
    Be24,  // big-endian over three bytes, in decimal
    Flag,  // "Yes" when the bit of mask is set
};

struct PageLine {
    const char* key;     // the value's name in the run's document
    const char* format;  // one conversion: %d, or %s for a flag
    PageField field;
    uint8_t offset;  // page byte where the value starts
    uint8_t mask;
};

constexpr PageLine ByteLine(const char* key, const char* format, uint8_t offset,
                            uint8_t mask = 0xFF) {
    return {key, format, PageField::Byte, offset, mask};
}
constexpr PageLine Be16Line(const char* key, const char* format, uint8_t offset) {
    return {key, format, PageField::Be16, offset, 0};
}
constexpr PageLine Be24Line(const char* key, const char* format, uint8_t offset) {
    return {key, format, PageField::Be24, offset, 0};
}
constexpr PageLine FlagLine(const char* key, const char* format, uint8_t offset, uint8_t mask) {
    return {key, format, PageField::Flag, offset, mask};
}

// page points at the page's first byte; every offset lies inside the 192
// returned bytes.
void DecodePageLines(const uint8_t* page, std::span<const PageLine> lines, Fields& fields);

// The page's title, and whether it has anything after it: a page of length
// 0 shows its title alone.
bool StartPage(const uint8_t* page, const char* title, Fields& fields);

// A page that is its title and a table of lines: decoded from the 192
// returned bytes, printed, and returned.
Fields PrintTablePage(const uint8_t* data, const char* title, std::span<const PageLine> lines);
