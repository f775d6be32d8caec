#include "platform/windows/layer_handles.h"

#include <map>
#include <mutex>
#include <shared_mutex>

namespace os::windows {
namespace {

// Every device control and read of every worker looks here first: lookups
// share the lock, and a run on real devices alone skips it.
struct Table {
    std::shared_mutex mutex;
    std::map<HANDLE, std::shared_ptr<LayerHandle>> entries;
    std::atomic<size_t> count{0};
};

// Never destroyed: workers may still use their handles while the process ends.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

}  // namespace

HANDLE AddLayerHandle(std::shared_ptr<units::Unit> unit) {
    auto entry = std::make_shared<LayerHandle>(std::move(unit));
    const HANDLE handle = entry.get();
    Table& table = TheTable();
    std::unique_lock lock(table.mutex);
    table.entries.emplace(handle, std::move(entry));
    table.count.store(table.entries.size());
    return handle;
}

std::shared_ptr<LayerHandle> FindLayerHandle(HANDLE handle) {
    Table& table = TheTable();
    if (table.count.load() == 0) {
        return nullptr;
    }
    std::shared_lock lock(table.mutex);
    const auto found = table.entries.find(handle);
    return found == table.entries.end() ? nullptr : found->second;
}

bool RemoveLayerHandle(HANDLE handle) {
    Table& table = TheTable();
    if (table.count.load() == 0) {
        return false;
    }
    std::unique_lock lock(table.mutex);
    const bool erased = table.entries.erase(handle) != 0;
    table.count.store(table.entries.size());
    return erased;
}

}  // namespace os::windows
