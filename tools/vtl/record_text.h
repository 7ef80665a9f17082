#pragma once
// The configuration record as vtl shows it and takes it from the command line: every
// field by name, as text for people and as a JSON value, the FIELD=VALUE assignments of
// `vtl set`, and the fields in which two records differ. The page's own rules (IDs,
// the ms <-> steps conversion, the baud table, the options' names) come from the core.
#include <string>
#include <vector>

#include "config/unit_config.h"
#include "platform/system_rules.h"  // ParseDecimal, the strict number rule of every program
#include "tools/vtl/json_writer.h"

struct RecordField {
  const char* name;   // the `vtl set` name, "preamble-ms"; JSON uses it with '_' for '-'
  std::string label;  // the page's name, "Preamble (ms)"
  std::string text;   // "120", "not used (ID 61)", "on"
  std::string json;   // 120, "off", true
  std::string value;  // as `vtl set` takes it: "120", "off", "on"
};

std::vector<RecordField> DescribeRecord(const UnitConfig& config);

// The record's seven bytes in byte order: "3C BD BF 12 06 00 0D", or without spaces.
std::string RecordHex(const UnitConfig& config, bool spaced);

// The JSON key of a field name: "preamble-ms" -> "preamble_ms".
std::string JsonKey(const char* name);

// Adds every field of the record to a JSON object, "record" first.
void AddRecord(JsonObject* object, const UnitConfig& config);

// The fields as FIELD=VALUE words, the form `vtl set` takes: "io=60 zvl=off ...".
std::string RecordAssignments(const UnitConfig& config);

// Applies one FIELD=VALUE to the record. Only the named field changes; bits the unit
// ignores stay as they were. False, with *error naming the field or the value, when the
// field is unknown or the value out of range.
bool ApplyAssignment(const std::string& assignment, UnitConfig* config, std::string* error);

// The differences between what was written and what was read back, one text per field
// ("io: wrote 60, read 61"), and for a byte whose fields all agree but whose ignored
// bits do not, that byte ("byte 0 (IO ID): wrote 7C, read 3C, bits the unit ignores").
std::vector<std::string> RecordDifferences(const UnitConfig& wrote, const UnitConfig& read);

