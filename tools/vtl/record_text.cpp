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

uint8_t& Byte(const FieldRule& rule, UnitConfig* config) { return config->*rule.member; }
uint8_t Byte(const FieldRule& rule, const UnitConfig& config) { return config.*rule.member; }
void SetBits(uint8_t* byte, uint8_t mask, bool on) {
  *byte = static_cast<uint8_t>(on ? *byte | mask : *byte & ~mask);
}

// The rates of the baud table, fastest first, as `vtl set` takes them.
std::string BaudRates() {
  std::string rates;
  for (unsigned code = 0; code < 256; ++code) {
    const char* rate = BaudCodeToRate(static_cast<uint8_t>(code));
    if (RateToBaudCode(static_cast<uint32_t>(std::atoi(rate))) != code) continue;
    rates += (rates.empty() ? "" : " ") + std::string(rate);
  }
  return rates;
}
const std::string kBaudRates = BaudRates();
const std::string kBaudExpected = "a rate of the baud table (" + kBaudRates + ")";

const FieldValues kIdValues = {"0 to 63 or off", "0-63 or off"};
const FieldValues kSwitchValues = {"on or off", "on/off"};
const FieldValues kMsValues = {"0 to 1700 (ms)", "0-1700, stored in steps of 6.666666 ms"};
const FieldValues kProtocolValues = {"32 or 64", "32/64"};
const FieldValues kBaudValues = {kBaudExpected.c_str(), kBaudRates.c_str()};

bool ParseSwitch(const std::string& value, bool* on) {
  if (value == "on") *on = true;
  else if (value == "off") *on = false;
  else return false;
  return true;
}

// An ID: bits 0-5, bit 7 set when it is not used.
RecordField DescribeId(const FieldRule& rule, const UnitConfig& config) {
  const uint8_t id = Byte(rule, config);
  const std::string number = std::to_string(id & kIdMask);
  if (id & kIdUnused) {
    return {rule.name, rule.label, "not used (ID " + number + ")", Quoted("off"), "off"};
  }
  return {rule.name, rule.label, number, number, number};
}
bool SetId(const FieldRule& rule, const std::string& value, UnitConfig* config) {
  uint8_t& id = Byte(rule, config);
  unsigned long number = 0;
  // "off" keeps the ID, as unticking the box on the page keeps the number in its edit.
  if (value == "off") {
    id = static_cast<uint8_t>(id | kIdUnused);
  } else if (ParseDecimal(value, kIdMask, &number)) {
    id = static_cast<uint8_t>((id & ~(kIdMask | kIdUnused)) | number);
  } else {
    return false;
  }
  return true;
}

RecordField DescribeSwitch(const FieldRule& rule, const UnitConfig& config) {
  const bool on = (Byte(rule, config) & rule.flag) != 0;
  return {rule.name, rule.label, OnOff(on), Bool(on), OnOff(on)};
}
bool SetSwitch(const FieldRule& rule, const std::string& value, UnitConfig* config) {
  bool on = false;
  if (!ParseSwitch(value, &on)) return false;
  SetBits(&Byte(rule, config), rule.flag, on);
  return true;
}

RecordField Number(const FieldRule& rule, unsigned number) {
  const std::string text = std::to_string(number);
  return {rule.name, rule.label, text, text, text};
}

// Preamble and postamble: steps shown as milliseconds.
RecordField DescribeMs(const FieldRule& rule, const UnitConfig& config) {
  return Number(rule, UnitsToMs(Byte(rule, config)));
}
bool SetMs(const FieldRule& rule, const std::string& value, UnitConfig* config) {
  unsigned long number = 0;
  if (!ParseDecimal(value, kMaxMs, &number)) return false;
  Byte(rule, config) = MsToUnits(static_cast<uint32_t>(number));
  return true;
}

// The ZVL protocol's width: 32 while its flag is set, else 64.
RecordField DescribeProtocol(const FieldRule& rule, const UnitConfig& config) {
  return Number(rule, (Byte(rule, config) & rule.flag) ? 32 : 64);
}
bool SetProtocol(const FieldRule& rule, const std::string& value, UnitConfig* config) {
  if (value != "32" && value != "64") return false;
  SetBits(&Byte(rule, config), rule.flag, value == "32");
  return true;
}

RecordField DescribeBaud(const FieldRule& rule, const UnitConfig& config) {
  const uint8_t code = Byte(rule, config);
  const char* rate = BaudCodeToRate(code);
  RecordField baud = Number(rule, static_cast<unsigned>(std::atoi(rate)));
  // A code without a row in the table reads as 9600, as on the page; say so.
  if (RateToBaudCode(static_cast<uint32_t>(std::atoi(rate))) != code) {
    baud.text += " (code " + std::to_string(code) + " has no rate of its own)";
  }
  return baud;
}
bool SetBaud(const FieldRule& rule, const std::string& value, UnitConfig* config) {
  // Only a rate of the table: RateToBaudCode would quietly make any other 1200.
  unsigned long number = 0;
  if (!ParseDecimal(value, 999999, &number)) return false;
  const uint8_t code = RateToBaudCode(static_cast<uint32_t>(number));
  if (value != BaudCodeToRate(code)) return false;
  Byte(rule, config) = code;
  return true;
}

const char* OptionLabel(uint8_t flag) {
  for (const OptionName& option : kOptionNames) {
    if (option.flag == flag) return option.label;
  }
  return "";
}

std::vector<FieldRule> MakeFields() {
  using C = UnitConfig;
  std::vector<FieldRule> fields = {
      {"io", "IO ID", &C::ioId, 0, &kIdValues, DescribeId, SetId},
      {"zvl", "ZVL ID", &C::zvlId, 0, &kIdValues, DescribeId, SetId},
      {"split", "Split ZVL", &C::zvlId, kZvlSplit, &kSwitchValues, DescribeSwitch, SetSwitch},
      {"adcs", "ADCs ID", &C::adcsId, 0, &kIdValues, DescribeId, SetId},
      {"preamble-ms", "Preamble (ms)", &C::preamble, 0, &kMsValues, DescribeMs, SetMs},
      {"postamble-ms", "Postamble (ms)", &C::postamble, 0, &kMsValues, DescribeMs, SetMs},
      {"protocol", "ZVL protocol (bits)", &C::options, kZvl32Bits, &kProtocolValues,
       DescribeProtocol, SetProtocol},
  };
  // The options in the page's order, with the page's labels.
  const std::pair<const char*, ConfigOption> options[] = {
      {"use-avail", kUseAvailEc5},     {"dont-buffer-controls", kDontBufferControls},
      {"no-ctrl-byte", kNoCtrlByte},   {"nrz", kNrz},
      {"v22-tx-high", kV22TxHighRxLow}, {"rx-equalisation", kRxAudioEqualisation},
  };
  static_assert(sizeof options / sizeof options[0] == kOptionNameCount, "a name for each option");
  for (const auto& [name, flag] : options) {
    fields.push_back(
        {name, OptionLabel(flag), &C::options, flag, &kSwitchValues, DescribeSwitch, SetSwitch});
  }
  fields.push_back({"baud", "Baud rate", &C::baudCode, 0, &kBaudValues, DescribeBaud, SetBaud});
  return fields;
}

size_t ByteIndex(uint8_t UnitConfig::*member) {
  UnitConfig config{};
  return static_cast<size_t>(&(config.*member) - reinterpret_cast<uint8_t*>(&config));
}
const char* const kByteNames[kConfigBytes] = {"IO ID",     "ZVL ID",  "ADCs ID", "preamble",
                                              "postamble", "options", "baud code"};
}  // namespace

const std::vector<FieldRule>& RecordFields() {
  static const std::vector<FieldRule> fields = MakeFields();
  return fields;
}

const FieldRule* FindField(const std::string& name) {
  for (const FieldRule& rule : RecordFields()) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

std::vector<RecordField> DescribeRecord(const UnitConfig& config) {
  std::vector<RecordField> fields;
  for (const FieldRule& rule : RecordFields()) fields.push_back(rule.describe(rule, config));
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
  for (const RecordField& field : DescribeRecord(config)) {
    object->Raw(JsonKey(field.name), field.json);
  }
  object->Add("baud_code", static_cast<unsigned>(config.baudCode));
}

std::string RecordAssignments(const UnitConfig& config) {
  std::string text;
  for (const RecordField& field : DescribeRecord(config)) {
    text += (text.empty() ? "" : " ") + std::string(field.name) + "=" + field.value;
  }
  return text;
}

bool SetField(const std::string& name, const std::string& value, UnitConfig* config,
              std::string* error) {
  const FieldRule* rule = FindField(name);
  if (rule == nullptr) {
    std::string names;
    for (const FieldRule& f : RecordFields()) {
      names += (names.empty() ? "" : " ") + std::string(f.name);
    }
    *error = "unknown field '" + name + "' (fields: " + names + ")";
    return false;
  }
  if (rule->set(*rule, value, config)) return true;
  *error = "bad value '" + value + "' for " + name + ": expected " + rule->values->expected;
  return false;
}

bool ApplyAssignment(const std::string& assignment, UnitConfig* config, std::string* error) {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos) {
    *error = "'" + assignment + "' is not FIELD=VALUE";
    return false;
  }
  return SetField(assignment.substr(0, equals), assignment.substr(equals + 1), config, error);
}

FieldCheck CheckField(const std::string& name, const std::string& value,
                      const UnitConfig& record, std::string* actual, std::string* error) {
  UnitConfig wanted = record;
  actual->clear();
  if (!SetField(name, value, &wanted, error)) return FieldCheck::kBad;
  const FieldRule& rule = *FindField(name);
  *actual = rule.describe(rule, record).value;
  return rule.describe(rule, wanted).value == *actual ? FieldCheck::kHolds : FieldCheck::kDiffers;
}

std::string FieldsHelp(size_t indent, size_t width) {
  // Names that take the same values are listed together, in the order of the first.
  std::vector<std::pair<const FieldValues*, std::string>> groups;
  for (const FieldRule& rule : RecordFields()) {
    auto group = groups.begin();
    while (group != groups.end() && group->first != rule.values) ++group;
    if (group == groups.end()) {
      groups.emplace_back(rule.values, rule.name);
    } else {
      group->second += std::string(", ") + rule.name;
    }
  }
  std::string words;
  for (const auto& [values, names] : groups) {
    words += (words.empty() ? "" : "; ") + names + " (" + values->help + ")";
  }
  // Wrapped at spaces.
  std::string text, line;
  size_t at = 0;
  while (at < words.size()) {
    size_t end = words.find(' ', at);
    if (end == std::string::npos) end = words.size();
    const std::string word = words.substr(at, end - at);
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      text += std::string(indent, ' ') + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    at = end + 1;
  }
  if (!line.empty()) text += std::string(indent, ' ') + line + "\n";
  return text;
}

std::vector<std::string> RecordDifferences(const UnitConfig& wrote, const UnitConfig& read) {
  std::vector<std::string> differences;
  bool byteExplained[kConfigBytes] = {};
  for (const FieldRule& rule : RecordFields()) {
    const RecordField a = rule.describe(rule, wrote);
    const RecordField b = rule.describe(rule, read);
    if (a.text == b.text) continue;
    differences.push_back(std::string(rule.name) + ": wrote " + a.text + ", read " + b.text);
    byteExplained[ByteIndex(rule.member)] = true;
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
