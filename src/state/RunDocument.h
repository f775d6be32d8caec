// The run's document: everything the run printed, as data, written as one
// JSON document to the file that VELKRAND_JSON names, at the end of the run
// or at a fatal end with what was gathered until then. Without the variable
// every call here does nothing.
//
// Phases record the fields their decoders produced (a section is a JSON
// pointer such as "/adapter"); any thread may record.
#pragma once

#include <cstdint>
#include <string>

#include "state/Fields.h"

// The environment variable naming the document's file.
inline constexpr const char* kRunDocumentVariable = "VELKRAND_JSON";

// Creates the document's file, never over an existing one or through a
// link. False, after one line on standard error, when it cannot be made.
bool OpenRunDocument();

// Adds the fields' values to the object at section.
void RecordFields(const std::string& section, const Fields& fields);
// Adds one object made of the fields' values to the list at section.
void AppendRecord(const std::string& section, const Fields& fields);
// Sets one value.
void RecordValue(const std::string& section, const std::string& key, const FieldValue& value);
// An answered mode page: its code, its bytes (as far as its length says,
// within available) in hex, and its decoded fields.
void RecordModePage(uint8_t code, const uint8_t* page, uint32_t available, const Fields& fields);

// Writes the document with the exit status and, after a failure, its
// message (the line ends around it dropped); only the first call writes.
void FinishRunDocument(int status, const std::string& message);

// The document as it stands (for tests).
std::string RunDocumentText();
