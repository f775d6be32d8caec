// What the fuzz targets share: the program's console output goes nowhere
// (decoding into /dev/null keeps the formatting work and loses the cost of
// a terminal), and a scratch place for files the targets write.
#pragma once

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzsupport {

inline void SilenceStdout() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
}

// A path of this process's own under the scratch directory: /dev/shm where
// there is one, so that writing files costs no disk.
inline std::string ScratchPath(const std::string& name) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    return std::string(base != nullptr ? base : "/tmp") + "/velkrand-fuzz-" +
           std::to_string(getpid()) + "-" + name;
}

// Stops the run as a crash: an answer broke a promise of its interface.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Reads the input front to back; past its end every read gives zeros.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t U32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= uint32_t{Byte()} << (8 * i);
        }
        return value;
    }
    const uint8_t* Rest() const { return data_ + at_; }
    size_t RestSize() const { return size_ - at_; }
    void Skip(size_t count) { at_ = count < size_ - at_ ? at_ + count : size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzzsupport
