#include "tools/vtl/report.h"

#include "config/config_form.h"
#include "tools/vtl/platform.h"
#include "tools/vtl/record_text.h"

namespace {
std::string Labelled(const std::string& label, const std::string& value) {
  std::string line = label + ":";
  if (line.size() < 24) line.resize(24, ' ');
  return line + value;
}

void AddRecordLines(std::vector<std::string>* lines, const UnitConfig& config) {
  for (const RecordField& field : DescribeRecord(config)) {
    lines->push_back(Labelled(field.label, field.text));
  }
  lines->push_back(Labelled("Record", RecordHex(config, true)));
}
}  // namespace

Printer::~Printer() {
  if (log != nullptr) std::fclose(log);
}

bool Printer::OpenLog(const std::string& path, std::string* reason) {
  log = std::fopen(path.c_str(), "a");
  if (log == nullptr) *reason = LastSystemError();
  return log != nullptr;
}

void Printer::Line(const std::string& text, const JsonObject& object) {
  const std::string line = (json ? object.Text() : text) + "\n";
  std::lock_guard<std::mutex> hold(mutex);
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  if (log != nullptr) {
    std::fputs(line.c_str(), log);
    std::fflush(log);
  }
}

// A human text of several lines, or one JSON object.
void Printer::Report(const std::vector<std::string>& lines, const JsonObject& object) {
  std::string text;
  for (const std::string& l : lines) text += (text.empty() ? "" : "\n") + l;
  Line(text, object);
}

int Printer::Print(const Failure& failure) {
  if (json) {
    JsonObject object;
    object.Add("command", command).Add("result", failure.result).Add("error", failure.message);
    object.Add("exit", failure.exit);
    std::printf("%s\n", object.Text().c_str());
    std::fflush(stdout);
  } else {
    const std::string who = command.empty() ? "vtl" : "vtl " + command;
    std::fprintf(stderr, "%s: %s\n", who.c_str(), failure.message.c_str());
  }
  return failure.exit;
}

int Printer::Print(const ShowResult& result) {
  JsonObject object;
  object.Add("command", command).Add("result", "ok").Add("file", result.file);
  AddRecord(&object, result.record);
  std::vector<std::string> lines;
  AddRecordLines(&lines, result.record);
  Report(lines, object);
  return kExitDone;
}

int Printer::Print(const ReadResult& result) {
  char status[64];
  std::snprintf(status, sizeof status, kReadCompleteFormat, result.firmware.c_str());
  JsonObject object;
  object.Add("command", command).Add("status", status).Add("firmware", result.firmware);
  object.Add("dip_switches", kDipSwitchLabel + result.dipSwitches);
  AddRecord(&object, result.record);
  std::vector<std::string> lines = {status, Labelled("Firmware", result.firmware),
                                    Labelled("Dip switches", result.dipSwitches)};
  AddRecordLines(&lines, result.record);
  if (!result.savedTo.empty()) {
    object.Add("saved", result.savedTo);
    lines.push_back(Labelled("Saved to", result.savedTo));
  }
  // The record is shown even when it could not be saved: it was read.
  const Failure& failed = result.saveFailure;
  if (failed) object.Add("error", failed.message).Add("exit", failed.exit);
  object.Add("result", failed ? failed.result : "ok");
  Report(lines, object);
  if (failed && !json) {
    std::fprintf(stderr, "vtl %s: %s\n", command.c_str(), failed.message.c_str());
  }
  return failed.exit;
}

int Printer::Print(const WriteResult& result) {
  JsonObject object;
  std::vector<std::string> lines;
  object.Add("command", command);
  if (result.readFirst) {
    object.Add("read", RecordHex(*result.readFirst, false));
    lines.push_back(Labelled("Record read", RecordHex(*result.readFirst, true)));
  }
  object.Add("written", RecordHex(result.written, false));
  object.Add("status", kWriteSuccessfulStatus);
  lines.push_back(kWriteSuccessfulStatus);
  lines.push_back(Labelled("Record written", RecordHex(result.written, true)));
  const bool same = result.differences.empty();
  if (result.verified) {
    object.Add("verified", same);
    object.Add("read_back", RecordHex(result.readBack, false));
    object.Add("differences", result.differences);
    lines.push_back(Labelled("Read back", RecordHex(result.readBack, true)));
    if (same) {
      lines.push_back("Verified: the unit holds the record written");
    } else {
      lines.push_back("Verify found differences:");
      for (const std::string& d : result.differences) lines.push_back("  " + d);
    }
  }
  object.Add("result", same ? "ok" : "different");
  if (result.readFirst) {
    AddRecord(&object, result.written);
    AddRecordLines(&lines, result.written);
  }
  Report(lines, object);
  return same ? kExitDone : kExitUnit;
}

int Printer::Print(const TxResult& result) {
  const char* status = result.on ? "Tx on" : "Tx off";
  JsonObject object;
  object.Add("command", command).Add("result", "ok").Add("state", result.on ? "on" : "off");
  object.Add("status", status);
  Line(status, object);
  return kExitDone;
}

int Printer::Print(const std::vector<std::string>& ports) {
  if (json) {
    JsonObject object;
    object.Add("command", command).Add("result", "ok").Add("ports", ports);
    std::printf("%s\n", object.Text().c_str());
  } else {
    for (const std::string& port : ports) std::printf("%s\n", port.c_str());
  }
  return kExitDone;
}
