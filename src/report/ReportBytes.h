// Small readers shared by the report decoders. SCSI answers are big-endian;
// the port driver's own records are little-endian.
#pragma once

#include <cstdint>

inline const char* YesNo(uint32_t flag) {
    return flag != 0 ? "Yes" : "No";
}

inline uint32_t ReadBigEndian16(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 8 | bytes[1];
}

inline uint32_t ReadBigEndian24(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 16 | static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
}

inline uint32_t ReadBigEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | ReadBigEndian24(bytes + 1);
}

inline uint32_t ReadLittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[3]) << 24 | static_cast<uint32_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(bytes[1]) << 8 | bytes[0];
}
