// What the mode page decoders share: where the page lies in the answer, and
// tables of labelled lines printed in order.
#pragma once

#include <cstdint>
#include <span>

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
    const char* format;  // one conversion: %d, or %s for a flag
    PageField field;
    uint8_t offset;  // page byte where the value starts
    uint8_t mask;
};

constexpr PageLine ByteLine(const char* format, uint8_t offset, uint8_t mask = 0xFF) {
    return {format, PageField::Byte, offset, mask};
}
constexpr PageLine Be16Line(const char* format, uint8_t offset) {
    return {format, PageField::Be16, offset, 0};
}
constexpr PageLine Be24Line(const char* format, uint8_t offset) {
    return {format, PageField::Be24, offset, 0};
}
constexpr PageLine FlagLine(const char* format, uint8_t offset, uint8_t mask) {
    return {format, PageField::Flag, offset, mask};
}

// page points at the page's first byte; every offset lies inside the 192
// returned bytes.
void PrintPageLines(const uint8_t* page, std::span<const PageLine> lines);
