#include "tools/vtl/record_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config_form.h"

namespace {
constexpr unsigned kMaxMs = 1700;  // what 255 steps show

std::string OnOff(bool on) { return on ? "on" : "off"; }
std::string Bool(bool on) { return on ? "true" : "false"; }
std::string Quoted(const std::string& text) { return JsonObject::Quote(text); }

RecordField IdField(const char* name, const char* label, uint8_t id) {
  const unsigned number = id & kIdMask;
  if (id & kIdUnused) {
    return {name, label, "not used (ID " + std::to_string(number) + ")", Quoted("off"), "off"};
  }
  return {name, label, std::to_string(number), std::to_string(number), std::to_string(number)};
}

RecordField NumberField(const char* name, const char* label, unsigned number) {
  const std::string text = std::to_string(number);
  return {name, label, text, text, text};
}

RecordField SwitchField(const char* name, const char* label, bool on) {
  return {name, label, OnOff(on), Bool(on), OnOff(on)};
}

// The `vtl set` names of the options, in the order of kOptionNames.
const char* OptionFieldName(ConfigOption flag) {
  switch (flag) {
    case kRxAudioEqualisation: return "rx-equalisation";
    case kV22TxHighRxLow: return "v22-tx-high";
    case kNrz: return "nrz";
    case kNoCtrlByte: return "no-ctrl-byte";
    case kUseAvailEc5: return "use-avail";
    case kDontBufferControls: return "dont-buffer-controls";
    case kZvl32Bits: return "protocol";
  }
  return "";
}

bool ParseSwitch(const std::string& value, bool* on) {
  if (value == "on") *on = true;
  else if (value == "off") *on = false;
  else return false;
  return true;
}

// The byte an assignment of a field changes, and its name for the differences.
struct ByteName {
  const char* field;
  int byte;
};
constexpr ByteName kFieldBytes[] = {
    {"io", 0},          {"zvl", 1},          {"split", 1},         {"adcs", 2},
    {"preamble-ms", 3}, {"postamble-ms", 4}, {"protocol", 5},      {"rx-equalisation", 5},
    {"v22-tx-high", 5}, {"nrz", 5},          {"no-ctrl-byte", 5},  {"use-avail", 5},
    {"dont-buffer-controls", 5},             {"baud", 6},
};
const char* const kByteNames[kConfigBytes] = {"IO ID",     "ZVL ID",  "ADCs ID", "preamble",
                                              "postamble", "options", "baud code"};
}  // namespace

std::vector<RecordField> DescribeRecord(const UnitConfig& c) {
  std::vector<RecordField> fields;
  fields.push_back(IdField("io", "IO ID", c.ioId));
  fields.push_back(IdField("zvl", "ZVL ID", c.zvlId));
  fields.push_back(SwitchField("split", "Split ZVL", (c.zvlId & kZvlSplit) != 0));
  fields.push_back(IdField("adcs", "ADCs ID", c.adcsId));
  fields.push_back(NumberField("preamble-ms", "Preamble (ms)", UnitsToMs(c.preamble)));
  fields.push_back(NumberField("postamble-ms", "Postamble (ms)", UnitsToMs(c.postamble)));
  fields.push_back(
      NumberField("protocol", "ZVL protocol (bits)", (c.options & kZvl32Bits) ? 32 : 64));
  for (const OptionName& option : kOptionNames) {
    fields.push_back(
        SwitchField(OptionFieldName(option.flag), option.label, (c.options & option.flag) != 0));
  }
  const char* rate = BaudCodeToRate(c.baudCode);
  RecordField baud = NumberField("baud", "Baud rate", static_cast<unsigned>(std::atoi(rate)));
  // A code without a row in the table reads as 9600, as on the page; say so.
  if (RateToBaudCode(static_cast<uint32_t>(std::atoi(rate))) != c.baudCode) {
    baud.text += " (code " + std::to_string(c.baudCode) + " has no rate of its own)";
  }
  fields.push_back(baud);
  return fields;
}

std::string RecordHex(const UnitConfig& config, bool spaced) {
  uint8_t bytes[kConfigBytes];
  ConfigToBytes(config, bytes);
  std::string text;
  char digits[4];
  for (size_t i = 0; i < kConfigBytes; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    if (spaced && i > 0) text += ' ';
    text += digits;
  }
  return text;
}

std::string JsonKey(const char* name) {
  std::string key(name);
  for (char& c : key) {
    if (c == '-') c = '_';
  }
  return key;
}

void AddRecord(JsonObject* object, const UnitConfig& config) {
  object->Add("record", RecordHex(config, false));
  for (const RecordField& field : DescribeRecord(config)) object->Raw(JsonKey(field.name), field.json);
  object->Add("baud_code", static_cast<unsigned>(config.baudCode));
}

std::string RecordAssignments(const UnitConfig& config) {
  std::string text;
  for (const RecordField& field : DescribeRecord(config)) {
    text += (text.empty() ? "" : " ") + std::string(field.name) + "=" + field.value;
  }
  return text;
}

bool ApplyAssignment(const std::string& assignment, UnitConfig* config, std::string* error) {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos) {
    *error = "'" + assignment + "' is not FIELD=VALUE";
    return false;
  }
  const std::string name = assignment.substr(0, equals);
  const std::string value = assignment.substr(equals + 1);
  const auto refuse = [&](const std::string& expected) {
    *error = "bad value '" + value + "' for " + name + ": expected " + expected;
    return false;
  };
  unsigned long number = 0;
  bool on = false;
  uint8_t* id = name == "io" ? &config->ioId
                : name == "zvl" ? &config->zvlId
                : name == "adcs" ? &config->adcsId
                                 : nullptr;
  if (id != nullptr) {
    // "off" keeps the ID, as unticking the box on the page keeps the number in its edit.
    if (value == "off") {
      *id = static_cast<uint8_t>(*id | kIdUnused);
    } else if (ParseDecimal(value, kIdMask, &number)) {
      *id = static_cast<uint8_t>((*id & ~(kIdMask | kIdUnused)) | number);
    } else {
      return refuse("0 to 63 or off");
    }
    return true;
  }
  if (name == "split") {
    if (!ParseSwitch(value, &on)) return refuse("on or off");
    config->zvlId = static_cast<uint8_t>(on ? config->zvlId | kZvlSplit : config->zvlId & ~kZvlSplit);
    return true;
  }
  if (name == "preamble-ms" || name == "postamble-ms") {
    if (!ParseDecimal(value, kMaxMs, &number)) return refuse("0 to 1700 (ms)");
    (name == "preamble-ms" ? config->preamble : config->postamble) =
        MsToUnits(static_cast<uint32_t>(number));
    return true;
  }
  if (name == "protocol") {
    if (value != "32" && value != "64") return refuse("32 or 64");
    config->options = static_cast<uint8_t>(value == "32" ? config->options | kZvl32Bits
                                                         : config->options & ~kZvl32Bits);
    return true;
  }
  if (name == "baud") {
    // Only a rate of the table: RateToBaudCode would quietly make any other 1200.
    if (!ParseDecimal(value, 999999, &number) ||
        std::strcmp(BaudCodeToRate(RateToBaudCode(static_cast<uint32_t>(number))),
                    value.c_str()) != 0) {
      return refuse("a rate of the baud table (115200 57600 38400 19200 9600 4800 2400 1200 600 300)");
    }
    config->baudCode = RateToBaudCode(static_cast<uint32_t>(number));
    return true;
  }
  for (const OptionName& option : kOptionNames) {
    if (name != OptionFieldName(option.flag)) continue;
    if (!ParseSwitch(value, &on)) return refuse("on or off");
    config->options =
        static_cast<uint8_t>(on ? config->options | option.flag : config->options & ~option.flag);
    return true;
  }
  *error = "unknown field '" + name +
           "' (fields: io zvl adcs split preamble-ms postamble-ms protocol rx-equalisation "
           "v22-tx-high nrz no-ctrl-byte use-avail dont-buffer-controls baud)";
  return false;
}

std::vector<std::string> RecordDifferences(const UnitConfig& wrote, const UnitConfig& read) {
  std::vector<std::string> differences;
  const std::vector<RecordField> a = DescribeRecord(wrote);
  const std::vector<RecordField> b = DescribeRecord(read);
  bool byteExplained[kConfigBytes] = {};
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].text == b[i].text) continue;
    differences.push_back(std::string(a[i].name) + ": wrote " + a[i].text + ", read " + b[i].text);
    for (const ByteName& entry : kFieldBytes) {
      if (std::strcmp(entry.field, a[i].name) == 0) byteExplained[entry.byte] = true;
    }
  }
  uint8_t x[kConfigBytes], y[kConfigBytes];
  ConfigToBytes(wrote, x);
  ConfigToBytes(read, y);
  char text[96];
  for (size_t i = 0; i < kConfigBytes; ++i) {
    if (x[i] == y[i] || byteExplained[i]) continue;
    std::snprintf(text, sizeof text, "byte %zu (%s): wrote %02X, read %02X, bits the unit ignores",
                  i, kByteNames[i], x[i], y[i]);
    differences.push_back(text);
  }
  return differences;
}
