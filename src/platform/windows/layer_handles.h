// Handles to units that this layer serves itself (the simulated unit and
// registered doubles) rather than the system.
//
// Such a handle is the address of a heap object of ours, kept in a table so
// that every call can tell it from a system handle. Real handles are small
// numbers the kernel hands out; heap addresses never collide with them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/units/unit.h"
#include "platform/win32.h"

namespace os::windows {

struct LayerHandle {
    explicit LayerHandle(std::shared_ptr<units::Unit> opened) : unit(std::move(opened)) {}
    std::shared_ptr<units::Unit> unit;
    // Where the next ReadFile starts.
    std::atomic<uint64_t> position{0};
};

// Registers an opened unit and returns its handle.
HANDLE AddLayerHandle(std::shared_ptr<units::Unit> unit);
// The entry behind handle, or null for any other value. The entry stays
// valid while the caller holds it, even when another thread closes it.
std::shared_ptr<LayerHandle> FindLayerHandle(HANDLE handle);
// Forgets handle; false when it was not a layer handle.
bool RemoveLayerHandle(HANDLE handle);

}  // namespace os::windows
