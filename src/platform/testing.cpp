#include "platform/testing.h"

#include <atomic>
#include <mutex>

namespace os::testing {
namespace {

std::atomic<int> failingCreation{0};

std::atomic<bool> observing{false};
std::mutex observerMutex;

// Never destroyed: workers may still call in while the process ends.
DeviceControlObserver& Observer() {
    static auto* observer = new DeviceControlObserver;
    return *observer;
}

}  // namespace

void FailThreadCreation(int nth) {
    failingCreation.store(nth > 0 ? nth : 0);
}

void ObserveDeviceControls(DeviceControlObserver observer) {
    std::lock_guard<std::mutex> lock(observerMutex);
    observing.store(static_cast<bool>(observer));
    Observer() = std::move(observer);
}

namespace detail {

bool ThreadCreationMustFail() {
    int left = failingCreation.load();
    while (left > 0) {
        if (failingCreation.compare_exchange_weak(left, left - 1)) {
            return left == 1;
        }
    }
    return false;
}

void NoteDeviceControl(DWORD code, DWORD inLength, DWORD outLength) {
    if (!observing.load()) {
        return;
    }
    std::lock_guard<std::mutex> lock(observerMutex);
    if (Observer()) {
        Observer()(code, inLength, outLength);
    }
}

}  // namespace detail
}  // namespace os::testing
