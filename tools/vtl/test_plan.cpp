#include "tools/vtl/test_plan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

// toml++ (Debian's libtomlplusplus-dev), header-only; its parse errors carry the line and
// column, and every node its source region.
#include <toml++/toml.h>

#include "config/config_file.h"
#include "link/hex.h"
#include "platform/utf8.h"
#include "tools/vtl/platform.h"
#include "tools/vtl/record_text.h"

namespace {
constexpr int64_t kMaxTimeoutMs = 60000;
constexpr int64_t kMaxWaitMs = 3600000;

// A table's keys in the order the file has them (toml++ keeps them sorted), so that the
// first error reported is the first in the file and fields apply in the order written.
std::vector<std::pair<const toml::key*, const toml::node*>> InFileOrder(const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> keys;
  for (const auto& [key, node] : table) keys.emplace_back(&key, &node);
  std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
    const toml::source_position &x = a.first->source().begin, &y = b.first->source().begin;
    return x.line != y.line ? x.line < y.line : x.column < y.column;
  });
  return keys;
}

struct PlanFailure {
  std::string text;
};

// The plan's reader: each Take* checks one value and throws PlanFailure naming it.
class Reader {
 public:
  explicit Reader(std::string file) : file(std::move(file)) {}

  [[noreturn]] void Fail(const toml::source_region& at, const std::string& key,
                         const std::string& message) const {
    std::ostringstream text;
    text << file << ":" << at.begin.line << ":" << at.begin.column << ": ";
    if (step > 0) text << "step " << step << ", ";
    text << "key '" << key << "': " << message;
    throw PlanFailure{text.str()};
  }

  int64_t TakeInteger(const toml::node& node, const std::string& key, int64_t min,
                      int64_t max) const {
    const auto value = node.value_exact<int64_t>();
    if (!value) Fail(node.source(), key, "expected an integer, not " + TypeName(node));
    if (*value < min || *value > max) {
      Fail(node.source(), key,
           std::to_string(*value) + " is out of range (" + std::to_string(min) + " to " +
               std::to_string(max) + ")");
    }
    return *value;
  }
  std::string TakeString(const toml::node& node, const std::string& key) const {
    const auto value = node.value_exact<std::string>();
    if (!value) Fail(node.source(), key, "expected a string, not " + TypeName(node));
    return *value;
  }
  bool TakeBool(const toml::node& node, const std::string& key) const {
    const auto value = node.value_exact<bool>();
    if (!value) Fail(node.source(), key, "expected true or false, not " + TypeName(node));
    return *value;
  }
  // An action key that only means something when true: `read = true`.
  void TakeTrue(const toml::node& node, const std::string& key) const {
    if (!TakeBool(node, key)) Fail(node.source(), key, "only true is meaningful here");
  }
  const toml::table& TakeTable(const toml::node& node, const std::string& key) const {
    if (!node.is_table()) Fail(node.source(), key, "expected a table, not " + TypeName(node));
    return *node.as_table();
  }

  // A field's value as `vtl set` takes it: numbers as digits, true/false as on/off.
  std::string FieldValue(const toml::node& node, const std::string& key) const {
    if (const auto n = node.value_exact<int64_t>()) return std::to_string(*n);
    if (const auto b = node.value_exact<bool>()) return *b ? "on" : "off";
    if (const auto s = node.value_exact<std::string>()) return *s;
    Fail(node.source(), key, "expected a number, a string or true/false, not " + TypeName(node));
  }

  // The fields of `fields = {...}` or `write = {...}`, each tried on a scratch record.
  void TakeFields(const toml::table& table, const std::string& key, PlanStep* s) const {
    for (const auto& [name, node] : InFileOrder(table)) {
      const std::string field(name->str());
      const std::string value = FieldValue(*node, key + "." + field);
      UnitConfig scratch = DefaultConfig();
      std::string error;
      if (!SetField(field, value, &scratch, &error)) {
        Fail(node->source(), key + "." + field, error);
      }
      s->fields.emplace_back(field, value);
    }
    if (s->fields.empty()) Fail(table.source(), key, "names no field");
  }

  void TakeFaults(const toml::table& table, FaultOptions* faults) const {
    struct {
      const char* key;
      unsigned FaultOptions::*value;
      int64_t max;
    } const kFaultKeys[] = {
        {"nak_pct", &FaultOptions::nakPct, 100},
        {"silent_pct", &FaultOptions::silentPct, 100},
        {"bad_checksum_pct", &FaultOptions::badChecksumPct, 100},
        {"delay_ms", &FaultOptions::delayMs, FaultInjector::kMaxDelayMs},
    };
    for (const auto& [name, node] : InFileOrder(table)) {
      const std::string key = "faults." + std::string(name->str());
      bool known = false;
      for (const auto& k : kFaultKeys) {
        if (name->str() != k.key) continue;
        faults->*k.value = static_cast<unsigned>(TakeInteger(*node, key, 0, k.max));
        known = true;
      }
      if (name->str() == "seed") {
        faults->seed = static_cast<uint32_t>(TakeInteger(*node, key, 0, UINT32_MAX));
        known = true;
      }
      if (!known) {
        Fail(name->source(), key,
             "unknown key (faults takes nak_pct, silent_pct, bad_checksum_pct, delay_ms, seed)");
      }
    }
  }

  static std::string TypeName(const toml::node& node) {
    switch (node.type()) {
      case toml::node_type::string: return "a string";
      case toml::node_type::integer: return "an integer";
      case toml::node_type::floating_point: return "a number with a fraction";
      case toml::node_type::boolean: return "true/false";
      case toml::node_type::table: return "a table";
      case toml::node_type::array: return "an array";
      default: return "a date or time";
    }
  }

  const std::string file;
  int step = 0;  // the step being read, 0 outside the steps
};

// The action keys, in the order a step's default name takes them.
struct ActionKey {
  const char* key;
  StepKind kind;
};
const ActionKey kActions[] = {
    {"read", StepKind::kRead},           {"write", StepKind::kWriteFile},
    {"default", StepKind::kDefault},     {"tx", StepKind::kTx},
    {"indications", StepKind::kIndications}, {"expect_controls", StepKind::kExpectControls},
    {"expect_poll", StepKind::kExpectPoll},  {"wait_ms", StepKind::kWait},
    {"faults", StepKind::kFaults},
};

// The other keys of a step, and the actions they belong to (none listed: every step).
struct OptionKey {
  const char* key;
  std::vector<StepKind> kinds;
};
const OptionKey kStepOptions[] = {
    {"name", {}},
    {"timeout_ms", {}},
    {"max_answer_ms", {}},
    {"firmware", {StepKind::kRead}},
    {"firmware_min", {StepKind::kRead}},
    {"dip_switches", {StepKind::kRead}},
    {"record", {StepKind::kRead}},
    {"fields", {StepKind::kRead}},
    {"verify", {StepKind::kWriteFile, StepKind::kWriteFields, StepKind::kDefault}},
    {"within_ms", {StepKind::kExpectControls, StepKind::kExpectPoll}},
};

bool IsVersion(const std::string& text) {
  return text.size() == 3 && std::isdigit(static_cast<unsigned char>(text[0])) &&
         text[1] == '.' && std::isdigit(static_cast<unsigned char>(text[2]));
}

bool ParseHexBytes(const std::string& text, uint8_t* bytes) {
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto high = static_cast<uint8_t>(text[i]), low = static_cast<uint8_t>(text[i + 1]);
    if (!IsHexDigit(high) || !IsHexDigit(low)) return false;
    bytes[i / 2] = HexByte(low, high);
  }
  return true;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string Stem(const std::string& path) {
  std::string name = path.substr(Folder(path).size());
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string DefaultName(const PlanStep& s) {
  switch (s.kind) {
    case StepKind::kRead: {
      std::string checks;
      const auto add = [&checks](const std::string& value, const std::string& text) {
        if (!value.empty()) checks += (checks.empty() ? "" : ", ") + text;
      };
      add(s.firmware, "firmware " + s.firmware);
      add(s.firmwareMin, "firmware " + s.firmwareMin + " or later");
      add(s.dipSwitches, "dip switches");
      add(s.record, "record " + s.record);
      if (!s.fields.empty()) add("fields", "fields");
      return checks.empty() ? "read" : "read, check " + checks;
    }
    case StepKind::kWriteFile: return "write " + s.file + (s.verify ? ", verify" : "");
    case StepKind::kWriteFields: {
      std::string text = "set";
      for (const auto& [field, value] : s.fields) text += " " + field + "=" + value;
      return text + (s.verify ? ", verify" : "");
    }
    case StepKind::kDefault: return std::string("default") + (s.verify ? ", verify" : "");
    case StepKind::kTx: return s.txOn ? "tx on" : "tx off";
    case StepKind::kIndications: {
      std::string hex;
      for (int i = 0; i < (s.wideIndications ? 8 : 4); ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", s.indications[i]);
        hex += two;
      }
      return "indications " + hex;
    }
    case StepKind::kExpectControls: return "expect controls " + s.controls;
    case StepKind::kExpectPoll: return "expect a poll";
    case StepKind::kWait: return "wait " + std::to_string(s.waitMs) + " ms";
    case StepKind::kFaults: return "faults: " + s.faults.Text();
  }
  return "";
}

PlanStep ReadStep(Reader& r, const toml::table& table, const Plan& plan, int number) {
  PlanStep s;
  s.number = number;
  s.timeoutMs = plan.timeoutMs;
  r.step = number;
  // The action first: the other keys are judged by it.
  const toml::node* action = nullptr;
  std::string actionKey;
  for (const ActionKey& a : kActions) {
    const toml::node* node = table.get(a.key);
    if (node == nullptr) continue;
    if (action != nullptr) {
      r.Fail(node->source(), a.key,
             "a step takes one action, and this one has '" + actionKey + "' already");
    }
    action = node;
    actionKey = a.key;
    s.kind = a.kind;
  }
  if (action == nullptr) {
    r.Fail(table.source(), "step",
           "no action (one of read, write, default, tx, indications, expect_controls, "
           "expect_poll, wait_ms, faults)");
  }
  const toml::node& a = *action;
  switch (s.kind) {
    case StepKind::kRead:
    case StepKind::kDefault:
    case StepKind::kExpectPoll:
      r.TakeTrue(a, actionKey);
      break;
    case StepKind::kWriteFile:
    case StepKind::kWriteFields:
      if (a.is_table()) {
        s.kind = StepKind::kWriteFields;
        r.TakeFields(*a.as_table(), "write", &s);
      } else {
        s.file = r.TakeString(a, "write");
        const std::string path = Folder(plan.file) + s.file;
        const ConfigFileError error = LoadConfigFile(path.c_str(), &s.written);
        if (error != ConfigFileError::kNone) {
          std::string why = std::string(ConfigFileMessage(error)) + ": " + path;
          if (error == ConfigFileError::kOpenFailed) why += " (" + LastSystemError() + ")";
          r.Fail(a.source(), "write", why);
        }
      }
      break;
    case StepKind::kTx: {
      const std::string value = r.TakeString(a, "tx");
      if (value != "on" && value != "off") r.Fail(a.source(), "tx", "expected \"on\" or \"off\"");
      s.txOn = value == "on";
      break;
    }
    case StepKind::kIndications: {
      const std::string hex = r.TakeString(a, "indications");
      if ((hex.size() != 8 && hex.size() != 16) || !ParseHexBytes(hex, s.indications)) {
        r.Fail(a.source(), "indications", "expected 8 or 16 hex digits, byte 0 first");
      }
      s.wideIndications = hex.size() == 16;
      break;
    }
    case StepKind::kExpectControls: {
      for (const char c : r.TakeString(a, "expect_controls")) {
        if (c == ' ') continue;
        if (c != '0' && c != '1' && c != 'x') {
          r.Fail(a.source(), "expect_controls", std::string("'") + c + "' is not 0, 1 or x");
        }
        s.controls += c;
      }
      if (s.controls.size() != 32 && s.controls.size() != 64) {
        r.Fail(a.source(), "expect_controls",
               std::to_string(s.controls.size()) + " positions; expected 32 or 64");
      }
      s.withinMs = 3000;
      break;
    }
    case StepKind::kWait:
      s.waitMs = static_cast<uint32_t>(r.TakeInteger(a, "wait_ms", 0, kMaxWaitMs));
      break;
    case StepKind::kFaults:
      r.TakeFaults(r.TakeTable(a, "faults"), &s.faults);
      break;
  }
  if (s.kind == StepKind::kExpectPoll) s.withinMs = 5000;

  for (const auto& [name, value] : InFileOrder(table)) {
    const toml::node& node = *value;
    const std::string key(name->str());
    if (key == actionKey) continue;
    const OptionKey* option = nullptr;
    for (const OptionKey& o : kStepOptions) {
      if (key == o.key) option = &o;
    }
    if (option == nullptr) r.Fail(name->source(), key, "unknown key");
    bool fits = option->kinds.empty();
    for (const StepKind k : option->kinds) fits = fits || k == s.kind;
    if (!fits) r.Fail(name->source(), key, "does not go with '" + actionKey + "'");
    if (key == "name") s.name = r.TakeString(node, key);
    if (key == "timeout_ms") s.timeoutMs = static_cast<uint32_t>(r.TakeInteger(node, key, 1, kMaxTimeoutMs));
    if (key == "max_answer_ms") s.maxAnswerMs = static_cast<uint32_t>(r.TakeInteger(node, key, 1, kMaxTimeoutMs));
    if (key == "within_ms") s.withinMs = static_cast<uint32_t>(r.TakeInteger(node, key, 1, kMaxWaitMs));
    if (key == "verify") s.verify = r.TakeBool(node, key);
    if (key == "fields") r.TakeFields(r.TakeTable(node, key), key, &s);
    if (key == "firmware" || key == "firmware_min") {
      const std::string version = r.TakeString(node, key);
      if (!IsVersion(version)) r.Fail(node.source(), key, "expected a version like \"1.3\"");
      (key == "firmware" ? s.firmware : s.firmwareMin) = version;
    }
    if (key == "dip_switches") s.dipSwitches = r.TakeString(node, key);
    if (key == "record") {
      uint8_t bytes[kConfigBytes];
      s.record = r.TakeString(node, key);
      if (s.record.size() != 2 * kConfigBytes || !ParseHexBytes(s.record, bytes)) {
        r.Fail(node.source(), key, "expected 14 hex digits, byte 0 first");
      }
    }
  }
  if (!s.firmware.empty() && !s.firmwareMin.empty()) {
    r.Fail(table.source(), "firmware_min", "give firmware or firmware_min, not both");
  }
  if (s.name.empty()) s.name = DefaultName(s);
  r.step = 0;
  return s;
}
}  // namespace

bool ReadPlan(const std::string& path, Plan* plan, std::string* error) {
  *plan = Plan();
  plan->file = path;
  plan->name = Stem(path);
  std::FILE* in = OpenFile(path, "rb");
  if (in == nullptr) {
    *error = path + ": cannot open the plan (" + LastSystemError() + ")";
    return false;
  }
  std::string text;
  char block[4096];
  for (size_t got; (got = std::fread(block, 1, sizeof block, in)) > 0;) text.append(block, got);
  const bool readWhole = std::ferror(in) == 0;
  std::fclose(in);
  if (!readWhole) {
    *error = path + ": cannot read the plan (" + LastSystemError() + ")";
    return false;
  }
  Reader r(path);
  try {
    const toml::table root = toml::parse(text, path);
    for (const auto& [name, node] : InFileOrder(root)) {
      const std::string key(name->str());
      if (key == "name") {
        plan->name = r.TakeString(*node, key);
      } else if (key == "timeout_ms") {
        plan->timeoutMs = static_cast<uint32_t>(r.TakeInteger(*node, key, 1, kMaxTimeoutMs));
      } else if (key == "keep_going") {
        plan->keepGoing = r.TakeBool(*node, key);
      } else if (key != "step") {
        r.Fail(name->source(), key, "unknown key (a plan takes name, timeout_ms, keep_going, step)");
      }
    }
    // The steps after the settings: their default timeout is the plan's, wherever it stands.
    const toml::node* steps = root.get("step");
    if (steps == nullptr) {
      r.Fail(root.source(), "step", "the plan has no [[step]]");
    }
    if (!steps->is_array_of_tables()) {
      r.Fail(steps->source(), "step", "expected [[step]] tables, not " + Reader::TypeName(*steps));
    }
    int number = 0;
    for (const toml::node& step : *steps->as_array()) {
      plan->steps.push_back(ReadStep(r, *step.as_table(), *plan, ++number));
    }
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << path << ":" << e.source().begin.line << ":" << e.source().begin.column << ": "
          << e.description();
    *error = where.str();
    return false;
  } catch (const PlanFailure& failure) {
    *error = failure.text;
    return false;
  }
  return true;
}
