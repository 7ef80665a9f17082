#include "tools/vtl/test_report.h"

#include <cstdio>

#include "platform/utf8.h"
#include "tools/vtl/json_writer.h"
#include "tools/vtl/platform.h"

namespace {
std::string Seconds(uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%03u", ms / 1000, ms % 1000);
  return text;
}

uint32_t MaxAnswer(const StepResult& s) {
  uint32_t most = 0;
  for (const uint32_t ms : s.answerMs) most = ms > most ? ms : most;
  return most;
}

std::string AnswerList(const StepResult& s) {
  std::string list;
  for (const uint32_t ms : s.answerMs) list += (list.empty() ? "" : " ") + std::to_string(ms);
  return list;
}

// The step's figures after its reason: answers and faults.
std::string Figures(const StepResult& s) {
  std::string text;
  if (!s.answerMs.empty()) {
    text = std::to_string(s.answerMs.size()) + (s.answerMs.size() == 1 ? " answer" : " answers") +
           ", slowest " + std::to_string(MaxAnswer(s)) + " ms";
  }
  const std::string faults = s.faults.Text();
  if (!faults.empty()) text += (text.empty() ? "faults: " : "; faults: ") + faults;
  return text;
}

struct Tally {
  unsigned passed = 0, failed = 0, errors = 0, skipped = 0;
  explicit Tally(const std::vector<StepResult>& steps) {
    for (const StepResult& s : steps) {
      switch (s.verdict) {
        case Verdict::kPass: ++passed; break;
        case Verdict::kFail: ++failed; break;
        case Verdict::kError: ++errors; break;
        case Verdict::kSkip: ++skipped; break;
      }
    }
  }
};

std::string Xml(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // XML 1.0 allows no control characters but tab, line feed and carriage return.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          out += '?';
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string Property(const std::string& name, const std::string& value) {
  return "<property name=\"" + Xml(name) + "\" value=\"" + Xml(value) + "\"/>";
}
}  // namespace

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPass: return "PASS";
    case Verdict::kFail: return "FAIL";
    case Verdict::kError: return "ERROR";
    case Verdict::kSkip: return "SKIP";
  }
  return "";
}

bool UnitResult::Passed() const {
  if (!opened || interrupted) return false;
  const Tally t(steps);
  return t.failed == 0 && t.errors == 0 && t.skipped == 0;
}

void TestPrinter::Line(const std::string& line) {
  std::lock_guard<std::mutex> hold(mutex);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void TestPrinter::Step(const std::string& port, const StepResult& s) {
  if (json) {
    JsonObject o;
    o.Add("event", "step").Add("port", port).Add("step", s.number).Add("name", s.name);
    o.Add("result", VerdictText(s.verdict)).Add("time_ms", s.timeMs);
    if (!s.reason.empty()) o.Add("reason", s.reason);
    if (!s.figure.empty()) o.Add("figure", s.figure);
    std::string answers;
    for (const uint32_t ms : s.answerMs) answers += (answers.empty() ? "" : ",") + std::to_string(ms);
    o.Raw("answer_ms", "[" + answers + "]");
    if (!s.answerMs.empty()) o.Add("max_answer_ms", MaxAnswer(s));
    o.Add("faults_nak", static_cast<long long>(s.faults.naks));
    o.Add("faults_silent", static_cast<long long>(s.faults.silences));
    o.Add("faults_bad_checksum", static_cast<long long>(s.faults.badChecksums));
    o.Add("faults_delayed", static_cast<long long>(s.faults.delays));
    if (!s.firmware.empty()) {
      o.Add("firmware", s.firmware).Add("dip_switches", s.dipSwitches).Add("record", s.record);
    }
    Line(o.Text());
    return;
  }
  std::string line = std::string(VerdictText(s.verdict)) + "  " + port + "  " +
                     std::to_string(s.number) + " " + s.name + "  " + std::to_string(s.timeMs) +
                     " ms";
  std::string said = s.verdict == Verdict::kPass ? s.figure : s.reason;
  const std::string figures = Figures(s);
  if (!figures.empty()) said += (said.empty() ? "" : "; ") + figures;
  if (!said.empty()) line += "  " + said;
  Line(line);
}

void TestPrinter::Unit(const UnitResult& u) {
  const Tally t(u.steps);
  if (json) {
    JsonObject o;
    o.Add("event", "unit").Add("port", u.port).Add("result", u.Passed() ? "PASS" : "FAIL");
    o.Add("passed", t.passed).Add("failed", t.failed).Add("errors", t.errors);
    o.Add("skipped", t.skipped).Add("time_ms", u.timeMs).Add("interrupted", u.interrupted);
    o.Add("firmware", u.firmware).Add("dip_switches", u.dipSwitches).Add("record", u.record);
    Line(o.Text());
    return;
  }
  std::string line = std::string(u.Passed() ? "PASS" : "FAIL") + "  " + u.port + ": " +
                     std::to_string(t.passed) + " passed, " + std::to_string(t.failed) +
                     " failed, " + std::to_string(t.errors) + " errors, " +
                     std::to_string(t.skipped) + " skipped in " + Seconds(u.timeMs) + " s";
  if (!u.firmware.empty()) line += "; firmware " + u.firmware + ", record " + u.record;
  if (u.interrupted) line += "; interrupted";
  Line(line);
}

void TestPrinter::End(const std::vector<UnitResult>& units, int exitStatus) {
  unsigned passed = 0;
  for (const UnitResult& u : units) passed += u.Passed() ? 1 : 0;
  const auto failed = static_cast<unsigned>(units.size()) - passed;
  if (json) {
    JsonObject o;
    o.Add("event", "end").Add("units", static_cast<unsigned>(units.size()));
    o.Add("passed", passed).Add("failed", failed).Add("exit", exitStatus);
    Line(o.Text());
    return;
  }
  Line(std::to_string(units.size()) + (units.size() == 1 ? " unit: " : " units: ") +
       std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
}

std::string JUnitXml(const std::string& planName, const std::vector<UnitResult>& units) {
  unsigned tests = 0, failures = 0, errors = 0, skipped = 0;
  uint32_t totalMs = 0;
  std::string suites;
  for (const UnitResult& u : units) {
    const Tally t(u.steps);
    tests += static_cast<unsigned>(u.steps.size());
    failures += t.failed;
    errors += t.errors;
    skipped += t.skipped;
    totalMs = u.timeMs > totalMs ? u.timeMs : totalMs;  // the units ran side by side
    suites += "  <testsuite name=\"" + Xml(u.port) + "\" tests=\"" +
              std::to_string(u.steps.size()) + "\" failures=\"" + std::to_string(t.failed) +
              "\" errors=\"" + std::to_string(t.errors) + "\" skipped=\"" +
              std::to_string(t.skipped) + "\" time=\"" + Seconds(u.timeMs) + "\">\n";
    suites += "    <properties>\n";
    suites += "      " + Property("port", u.port) + "\n";
    suites += "      " + Property("firmware", u.firmware) + "\n";
    suites += "      " + Property("dip_switches", u.dipSwitches) + "\n";
    suites += "      " + Property("record", u.record) + "\n";
    suites += "    </properties>\n";
    for (const StepResult& s : u.steps) {
      suites += "    <testcase name=\"" + Xml(std::to_string(s.number) + " " + s.name) +
                "\" classname=\"" + Xml(planName + "." + u.port) + "\" time=\"" +
                Seconds(s.timeMs) + "\">\n";
      std::string properties;
      if (!s.answerMs.empty()) {
        properties += "        " + Property("answer_ms", AnswerList(s)) + "\n";
        properties += "        " + Property("max_answer_ms", std::to_string(MaxAnswer(s))) + "\n";
      }
      if (s.faults.Total() != 0) properties += "        " + Property("faults", s.faults.Text()) + "\n";
      if (!s.figure.empty()) properties += "        " + Property("figure", s.figure) + "\n";
      if (!s.firmware.empty()) {
        properties += "        " + Property("firmware", s.firmware) + "\n";
        properties += "        " + Property("dip_switches", s.dipSwitches) + "\n";
        properties += "        " + Property("record", s.record) + "\n";
      }
      if (!properties.empty()) suites += "      <properties>\n" + properties + "      </properties>\n";
      const std::string message = "message=\"" + Xml(s.reason) + "\"";
      switch (s.verdict) {
        case Verdict::kPass: break;
        case Verdict::kFail:
          suites += "      <failure " + message + " type=\"check\">" + Xml(s.reason) + "</failure>\n";
          break;
        case Verdict::kError:
          suites += "      <error " + message + " type=\"port\">" + Xml(s.reason) + "</error>\n";
          break;
        case Verdict::kSkip: suites += "      <skipped " + message + "/>\n"; break;
      }
      suites += "    </testcase>\n";
    }
    suites += "  </testsuite>\n";
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" + Xml(planName) +
         "\" tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
         "\" errors=\"" + std::to_string(errors) + "\" skipped=\"" + std::to_string(skipped) +
         "\" time=\"" + Seconds(totalMs) + "\">\n" + suites + "</testsuites>\n";
}

bool WriteWhole(const std::string& path, const std::string& text, std::string* reason) {
  const std::string temporary = path + ".tmp";
  FILE* f = OpenFile(temporary, "wb");
  if (f == nullptr) {
    *reason = "cannot create " + temporary + ": " + LastSystemError();
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    *reason = "cannot write " + temporary + ": " + LastSystemError();
    RemoveFile(temporary);
    return false;
  }
  if (!MoveIntoPlace(temporary, path)) {
    *reason = "cannot move " + temporary + " to " + path + ": " + LastSystemError();
    RemoveFile(temporary);
    return false;
  }
  return true;
}
