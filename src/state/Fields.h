// Decoded fields: what a decoder makes of an answer, once. Each field is one
// text the report prints and, when it shows a value, that value under a
// name of its own; the report prints the texts and the run's document keeps
// the values, so that the two can never disagree.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// Nothing (null in the document), a number, a real number, a flag or a text.
using FieldValue = std::variant<std::monostate, int64_t, double, bool, std::string>;

struct Field {
    // snake_case; a name ending in "[]" adds to a list of that name; empty:
    // the field has no value, or its members belong to the enclosing object.
    std::string key;
    FieldValue value;
    std::string text;            // printed as it stands; empty for the document alone
    std::vector<Field> members;  // a value made of named parts
};

using Fields = std::vector<Field>;

// printf-style formatting into a string.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A text with no value of its own: titles, blank lines.
void AddText(Fields& fields, std::string text);
// A value and the text that shows it.
void AddValue(Fields& fields, std::string key, FieldValue value, std::string text);
// A number printed through a format with one %d (or %u) conversion.
void AddNumber(Fields& fields, std::string key, int64_t value, const char* format);
// A flag printed through a format with one %s conversion, as Yes or No.
void AddFlag(Fields& fields, std::string key, bool value, const char* format);

// text without the line ends around it: a printed line as a value.
std::string WithoutLineEnds(const std::string& text);

// Prints every text in order, each with one call.
void PrintFields(const Fields& fields);
// Every text in order, as one string.
std::string JoinTexts(const Fields& fields);
