#include "state/RunDocument.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/win32.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int kFormat = 1;

struct Document {
    std::mutex mutex;
    bool enabled = false;
    bool finished = false;
    HANDLE file = INVALID_HANDLE_VALUE;
    Json json = Json::object();
};

// Never destroyed: a worker may end the run while the process ends.
Document& TheDocument() {
    static Document* document = new Document;
    return *document;
}

Json ToJson(const FieldValue& value) {
    return std::visit(
        [](const auto& held) -> Json {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, std::monostate>) {
                return nullptr;
            } else {
                return held;
            }
        },
        value);
}

// Adds each field's value to object: under its name, appended to the list
// its name ends in "[]" for, or, nameless with members, into object itself.
void AddTo(Json& object, const Fields& fields) {
    for (const Field& field : fields) {
        Json value;
        if (!field.members.empty()) {
            value = Json::object();
            AddTo(value, field.members);
        } else {
            value = ToJson(field.value);
        }
        if (field.key.empty()) {
            if (!field.members.empty()) {
                object.update(value);
            }
        } else if (field.key.ends_with("[]")) {
            object[field.key.substr(0, field.key.size() - 2)].push_back(std::move(value));
        } else {
            object[field.key] = std::move(value);
        }
    }
}

// The operating system's text for an error code, without its line end.
std::string ErrorText(DWORD code) {
    char text[256] = {};
    if (os::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr) == 0) {
        return "error " + std::to_string(code);
    }
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) {
        trimmed.pop_back();
    }
    return trimmed;
}

std::string StartTime() {
    SYSTEMTIME now{};
    os::GetSystemTime(&now);
    return Format("%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned{now.wYear}, unsigned{now.wMonth},
                  unsigned{now.wDay}, unsigned{now.wHour}, unsigned{now.wMinute},
                  unsigned{now.wSecond});
}

}  // namespace

bool OpenRunDocument() {
    const char* path = std::getenv(kRunDocumentVariable);
    if (path == nullptr || *path == '\0') {
        return true;
    }
    Document& document = TheDocument();
    std::lock_guard<std::mutex> lock(document.mutex);
    // Created new, as the result file is: never over a file, never through a link.
    document.file = os::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (document.file == INVALID_HANDLE_VALUE) {
        const DWORD error = os::GetLastError();
        std::fprintf(stderr, "velkrand: %s names %s, which cannot be created: %s\n",
                     kRunDocumentVariable, path, ErrorText(error).c_str());
        return false;
    }
    document.enabled = true;
    document.json["format"] = kFormat;
    document.json["tool"] = {
        {"name", "velkrand"}, {"version", "4.10"}, {"release", 4}, {"build", 1540}};
    document.json["started_at"] = StartTime();
    return true;
}

void RecordFields(const std::string& section, const Fields& fields) {
    Document& document = TheDocument();
    std::lock_guard<std::mutex> lock(document.mutex);
    if (document.enabled) {
        Json& object = document.json[Json::json_pointer(section)];
        if (object.is_null()) {
            object = Json::object();
        }
        AddTo(object, fields);
    }
}

void AppendRecord(const std::string& section, const Fields& fields) {
    Document& document = TheDocument();
    std::lock_guard<std::mutex> lock(document.mutex);
    if (document.enabled) {
        Json object = Json::object();
        AddTo(object, fields);
        document.json[Json::json_pointer(section)].push_back(std::move(object));
    }
}

void RecordValue(const std::string& section, const std::string& key, const FieldValue& value) {
    RecordFields(section, {{key, value, "", {}}});
}

void RecordModePage(uint8_t code, const uint8_t* page, uint32_t available, const Fields& fields) {
    // The page's own bytes: its code and length bytes and what the length
    // says follows, as far as the answer holds them.
    const uint32_t length = available < 2 ? available : std::min<uint32_t>(available, page[1] + 2u);
    std::string hex;
    for (uint32_t i = 0; i < length; ++i) {
        hex += Format(i == 0 ? "%02x" : " %02x", static_cast<unsigned>(page[i]));
    }
    Document& document = TheDocument();
    std::lock_guard<std::mutex> lock(document.mutex);
    if (document.enabled) {
        Json decoded = Json::object();
        AddTo(decoded, fields);
        document.json["mode_pages"].push_back(
            {{"code", code}, {"bytes", hex}, {"fields", std::move(decoded)}});
    }
}

void FinishRunDocument(int status, const std::string& message) {
    Document& document = TheDocument();
    std::lock_guard<std::mutex> lock(document.mutex);
    if (!document.enabled || document.finished) {
        return;
    }
    document.finished = true;
    const std::string line = WithoutLineEnds(message);
    document.json["exit"] = {{"status", status},
                             {"message", line.empty() ? Json(nullptr) : Json(line)}};
    // A unit's texts are bytes, not always UTF-8: those that aren't are
    // replaced rather than refused.
    const std::string text =
        document.json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    DWORD written = 0;
    if (!os::WriteFile(document.file, text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
        written != text.size()) {
        std::fprintf(stderr, "velkrand: the run document could not be written: %s\n",
                     ErrorText(os::GetLastError()).c_str());
    }
    os::CloseHandle(document.file);
}

std::string RunDocumentText() {
    Document& document = TheDocument();
    std::lock_guard<std::mutex> lock(document.mutex);
    return document.json.dump(2, ' ', false, Json::error_handler_t::replace);
}
