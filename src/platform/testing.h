// Hooks through which tests reach into the platform layer. Nothing in the
// system calls them; each costs one atomic load on the path it watches.
#pragma once

#include <functional>

#include "platform/win32.h"

namespace os::testing {

// Makes the nth thread creation from now on fail (1: the next one), as if
// the system had run out of resources. 0 cancels a pending failure.
void FailThreadCreation(int nth);

// Calls observer with the code and the two buffer lengths of every
// DeviceIoControl call, before the call is carried out. An empty observer
// stops the observation.
using DeviceControlObserver = std::function<void(DWORD code, DWORD inLength, DWORD outLength)>;
void ObserveDeviceControls(DeviceControlObserver observer);

namespace detail {
// For the platform layer's own use: true when this creation must fail.
bool ThreadCreationMustFail();
void NoteDeviceControl(DWORD code, DWORD inLength, DWORD outLength);
}  // namespace detail

}  // namespace os::testing
