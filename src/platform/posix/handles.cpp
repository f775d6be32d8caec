#include "platform/posix/handles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

namespace os::posix {
namespace {

struct Table {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<HandleObject>> objects;
};

// Never destroyed: workers may still use their handles while the process
// ends.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

}  // namespace

FileObject::~FileObject() {
    close(fd);
}

uint32_t FileObject::Size(uint64_t& bytes) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return static_cast<uint32_t>(errno);
    }
    bytes = static_cast<uint64_t>(status.st_size);
    return 0;
}

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
    HANDLE handle = object.get();
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<HandleObject> LookUpHandle(HANDLE handle) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.objects.find(handle);
    return found == table.objects.end() ? nullptr : found->second;
}

std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.objects.find(handle);
    if (found == table.objects.end()) {
        return nullptr;
    }
    std::shared_ptr<HandleObject> object = std::move(found->second);
    table.objects.erase(found);
    return object;
}

}  // namespace os::posix
