#include "state/Fields.h"

#include <cstdarg>
#include <cstdio>

std::string Format(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list counting;
    va_copy(counting, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, arguments);
        text.pop_back();
    }
    va_end(arguments);
    return text;
}

void AddText(Fields& fields, std::string text) {
    fields.push_back({"", {}, std::move(text), {}});
}

void AddValue(Fields& fields, std::string key, FieldValue value, std::string text) {
    fields.push_back({std::move(key), std::move(value), std::move(text), {}});
}

void AddNumber(Fields& fields, std::string key, int64_t value, const char* format) {
    AddValue(fields, std::move(key), value, Format(format, static_cast<int>(value)));
}

void AddFlag(Fields& fields, std::string key, bool value, const char* format) {
    AddValue(fields, std::move(key), value, Format(format, value ? "Yes" : "No"));
}

std::string WithoutLineEnds(const std::string& text) {
    const size_t first = text.find_first_not_of("\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of("\r\n") - first + 1);
}

void PrintFields(const Fields& fields) {
    for (const Field& field : fields) {
        if (!field.text.empty()) {
            std::fputs(field.text.c_str(), stdout);
        }
    }
}

std::string JoinTexts(const Fields& fields) {
    std::string text;
    for (const Field& field : fields) {
        text += field.text;
    }
    return text;
}
