// The handle table: a HANDLE is the address of a heap object registered
// here, so a value that was never handed out, or was closed, is recognised
// as invalid instead of being followed.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/units/unit.h"
#include "platform/win32.h"

namespace os::posix {

class HandleObject {
  public:
    virtual ~HandleObject() = default;
};

// Something read at a 64-bit position of its handle's own.
class Positioned : public HandleObject {
  public:
    std::mutex mutex;       // guards position across threads sharing the handle
    uint64_t position = 0;  // where the next read or write starts
    virtual uint32_t Size(uint64_t& bytes) = 0;
};

class UnitObject : public Positioned {
  public:
    explicit UnitObject(std::shared_ptr<units::Unit> opened) : unit(std::move(opened)) {}
    uint32_t Size(uint64_t& bytes) override { return unit->Size(bytes); }
    const std::shared_ptr<units::Unit> unit;
};

class FileObject : public Positioned {
  public:
    FileObject(int descriptor, bool canWrite) : fd(descriptor), writable(canWrite) {}
    ~FileObject() override;
    uint32_t Size(uint64_t& bytes) override;
    const int fd;
    const bool writable;
};

class ThreadObject : public HandleObject {
  public:
    explicit ThreadObject(pthread_t started) : thread(started) {}
    const pthread_t thread;
};

// Hands out a new handle for object.
HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
// The object behind handle, or null. The object stays alive while the
// caller holds it, even if another thread closes the handle meanwhile.
std::shared_ptr<HandleObject> LookUpHandle(HANDLE handle);
// Removes handle from the table and returns its object, or null.
std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle);

}  // namespace os::posix
