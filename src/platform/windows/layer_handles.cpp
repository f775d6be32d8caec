#include "platform/windows/layer_handles.h"

#include <map>
#include <mutex>

namespace os::windows {
namespace {

struct Table {
    std::mutex mutex;
    std::map<HANDLE, std::shared_ptr<LayerHandle>> entries;
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
    std::lock_guard<std::mutex> lock(table.mutex);
    table.entries.emplace(handle, std::move(entry));
    return handle;
}

std::shared_ptr<LayerHandle> FindLayerHandle(HANDLE handle) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.entries.find(handle);
    return found == table.entries.end() ? nullptr : found->second;
}

bool RemoveLayerHandle(HANDLE handle) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.entries.erase(handle) != 0;
}

}  // namespace os::windows
