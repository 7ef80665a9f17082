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

// One field of the record as shown: its name and label (from the table below) and its
// value in three forms.
struct RecordField {
  const char* name;   // the `vtl set` name, "preamble-ms"; JSON uses it with '_' for '-'
  std::string label;  // the page's name, "Preamble (ms)"
  std::string text;   // "120", "not used (ID 61)", "on"
  std::string json;   // 120, "off", true
  std::string value;  // as `vtl set` takes it: "120", "off", "on"
};

// The kinds of value a field takes: what `vtl set` accepts, in words for its errors
// ("expected ...") and for --help.
struct FieldValues {
  const char* expected;  // "0 to 63 or off"
  const char* help;      // "0-63 or off"
};

// The one table of the record's fields, in the order they are shown, printed as JSON
// and listed: each field's `vtl set` name, its label, the byte that holds it, the
// values it takes, how it is read from a record and how a value is written into one
// (only its own bits change). `read`, `show`, `set`, the differences of a verify,
// --help and checks of a read record (`vtl test`) all go through it.
struct FieldRule {
  const char* name;
  const char* label;
  uint8_t UnitConfig::*member;  // the byte that holds the field
  uint8_t flag;                 // a flag field's bit in it; 0 for the others
  const FieldValues* values;
  RecordField (*describe)(const FieldRule& rule, const UnitConfig& config);
  // False when the value is not one the field takes; the record is then unchanged.
  bool (*set)(const FieldRule& rule, const std::string& value, UnitConfig* config);
};
const std::vector<FieldRule>& RecordFields();
// The field of a `vtl set` name, or null.
const FieldRule* FindField(const std::string& name);

std::vector<RecordField> DescribeRecord(const UnitConfig& config);

// Sets one field by name to a value as `vtl set` takes it. False, with *error naming the
// field or the value, when the field is unknown or the value is not one it takes.
bool SetField(const std::string& name, const std::string& value, UnitConfig* config,
              std::string* error);

// Whether the record's field holds the value given as `vtl set` takes it: the value is
// written into a copy of the record and the field read back from both, so 103 ms is
// held by a preamble of 100 ms (the steps are the same). *actual is the field's value
// in the record, as `vtl set` takes it. False with *error for an unknown field or a value
// the field does not take (then *actual is empty).
enum class FieldCheck { kHolds, kDiffers, kBad };
FieldCheck CheckField(const std::string& name, const std::string& value,
                      const UnitConfig& record, std::string* actual, std::string* error);

// The "Fields:" part of `vtl --help`: the names grouped by the values they take,
// wrapped to lines of at most `width` characters after `indent` spaces.
std::string FieldsHelp(size_t indent, size_t width);

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

