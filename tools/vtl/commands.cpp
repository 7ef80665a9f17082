#include "tools/vtl/commands.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "comms/comms_state.h"
#include "config/config_file.h"
#include "config/config_form.h"
#include "tools/vtl/frame_text.h"
#include "tools/vtl/json_writer.h"
#include "tools/vtl/platform.h"
#include "tools/vtl/record_text.h"
#include "tools/vtl/unit_session.h"
#include "tools/vtl/vtl_link.h"

namespace {
constexpr int kReopenEveryMs = 500;
constexpr int kStopCheckMs = 20;

Failure PortFailure(const std::string& message) { return {kExitPort, "port", message}; }

std::string WindowText(const CommonOptions& o) {
  return "within the " + std::to_string(o.timeoutMs) + " ms window";
}

std::string FileFailure(ConfigFileError error, const std::string& file) {
  return std::string(ConfigFileMessage(error)) + ": " + file;
}

// One command's use of the unit: the session's outcomes turned into the command's
// failures, in the command's words.
struct Session {
  const CommonOptions& options;
  UnitSession unit;

  explicit Session(const CommonOptions& options) : options(options), unit(options.port) {}

  Failure Open() {
    std::string reason;
    if (unit.Open(&reason)) return {};
    return PortFailure(reason);
  }

  // What went wrong with a request, in the words of `what` ("read request",
  // "configuration write", "Tx on request"); no failure when it went well.
  Failure Judge(const RequestOutcome& outcome, ConfigRequest request, const std::string& what) {
    switch (outcome.result) {
      case RequestResult::kOk:
        return {};
      case RequestResult::kPortLost:
        // A read is lost during its wait as "the read": its ACK may have come already.
        return PortFailure("the port " + options.port + " was lost during the " +
                           (outcome.sent && request == ConfigRequest::kRead ? "read" : what));
      case RequestResult::kRefused:
        return {kExitUnit, "refused",
                request == ConfigRequest::kTxOn || request == ConfigRequest::kTxOff
                    ? "the unit refused the " + what + " (NAK)"
                    : std::string(RefusedStatus(request))};
      case RequestResult::kNoAnswer:
        return {kExitUnit, "no answer",
                outcome.acknowledged
                    ? "the unit acknowledged the read request but sent no read response " +
                          WindowText(options)
                    : "no answer to the " + what + " " + WindowText(options)};
      case RequestResult::kInvalid:
        break;
    }
    // Only a read is answered with a response that can be invalid.
    const auto& read = static_cast<const ReadOutcome&>(outcome);
    return {kExitUnit, "invalid response",
            std::string(kInvalidConfigurationText) + " (a read response of " +
                std::to_string(read.invalidLength) + " bytes; it must be 24)"};
  }

  Failure ReadRecord(ReadOutcome* read) {
    *read = unit.Read(options.timeoutMs);
    return Judge(*read, ConfigRequest::kRead, "read request");
  }

  // Writes result->written, and with `verify` reads it back and compares all seven bytes.
  Failure WriteRecord(bool verify, WriteResult* result) {
    const RequestOutcome written = unit.Write(result->written, options.timeoutMs);
    if (Failure failed = Judge(written, ConfigRequest::kWrite, "configuration write")) {
      return failed;
    }
    if (!verify) return {};
    ReadOutcome back;
    if (Failure failed = ReadRecord(&back)) return failed;
    result->verified = true;
    result->readBack = back.record;
    result->differences = RecordDifferences(result->written, back.record);
    return {};
  }
};
}  // namespace

int UsageError(const CommonOptions& options, const std::string& command,
               const std::string& message) {
  return Printer(options.json, command)
      .Print(Failure{kExitUsage, "usage", message + " (vtl --help tells more)"});
}

bool LoadRecordFile(const CommonOptions& options, const std::string& command,
                    const std::string& file, UnitConfig* record, int* exitStatus) {
  const ConfigFileError error = LoadConfigFile(file.c_str(), record);
  if (error == ConfigFileError::kNone) return true;
  std::string message = FileFailure(error, file);
  if (error == ConfigFileError::kWrongSize) {
    FILE* f = std::fopen(file.c_str(), "rb");
    long size = -1;
    if (f != nullptr && std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (f != nullptr) std::fclose(f);
    if (size >= 0) message += " (" + std::to_string(size) + " bytes; a .vtl file is 7)";
  } else if (error == ConfigFileError::kOpenFailed) {
    message += " (" + LastSystemError() + ")";
  }
  *exitStatus = Printer(options.json, command).Print(Failure{kExitUsage, "bad file", message});
  return false;
}

int RunShow(const CommonOptions& options, const std::string& file) {
  ShowResult result;
  result.file = file;
  int status = kExitDone;
  if (!LoadRecordFile(options, "show", file, &result.record, &status)) return status;
  return Printer(options.json, "show").Print(result);
}

int RunRead(const CommonOptions& options, const std::string& saveFile) {
  Printer printer(options.json, "read");
  Session session(options);
  ReadOutcome read;
  if (Failure failed = session.Open()) return printer.Print(failed);
  if (Failure failed = session.ReadRecord(&read)) return printer.Print(failed);
  ReadResult result;
  result.firmware = read.firmware;
  result.dipSwitches = read.dipSwitches;
  result.record = read.record;
  if (!saveFile.empty()) {
    const ConfigFileError saved = SaveConfigFile(saveFile.c_str(), read.record);
    if (saved == ConfigFileError::kNone) {
      result.savedTo = saveFile;
    } else {
      result.saveFailure = {kExitUsage, "bad file",
                            FileFailure(saved, saveFile) + " (" + LastSystemError() +
                                "); an existing file is left as it was"};
    }
  }
  return printer.Print(result);
}

int RunWrite(const CommonOptions& options, const std::string& command, const UnitConfig& record,
             bool verify) {
  Printer printer(options.json, command);
  Session session(options);
  if (Failure failed = session.Open()) return printer.Print(failed);
  WriteResult result;
  result.written = record;
  if (Failure failed = session.WriteRecord(verify, &result)) return printer.Print(failed);
  return printer.Print(result);
}

int RunSet(const CommonOptions& options, const std::vector<std::string>& assignments,
           bool verify) {
  // Every assignment is checked on a scratch record before the port is touched.
  UnitConfig scratch = DefaultConfig();
  std::string error;
  for (const std::string& assignment : assignments) {
    if (!ApplyAssignment(assignment, &scratch, &error)) return UsageError(options, "set", error);
  }
  Printer printer(options.json, "set");
  Session session(options);
  if (Failure failed = session.Open()) return printer.Print(failed);
  ReadOutcome read;
  if (Failure failed = session.ReadRecord(&read)) return printer.Print(failed);
  WriteResult result;
  result.readFirst = read.record;
  result.written = read.record;
  for (const std::string& assignment : assignments) {
    ApplyAssignment(assignment, &result.written, &error);
  }
  if (Failure failed = session.WriteRecord(verify, &result)) return printer.Print(failed);
  return printer.Print(result);
}

int RunTx(const CommonOptions& options, bool on) {
  Printer printer(options.json, "tx");
  Session session(options);
  if (Failure failed = session.Open()) return printer.Print(failed);
  const ConfigRequest request = on ? ConfigRequest::kTxOn : ConfigRequest::kTxOff;
  if (Failure failed = session.Judge(session.unit.Tx(on, options.timeoutMs), request,
                                     on ? "Tx on request" : "Tx off request")) {
    return printer.Print(failed);
  }
  return printer.Print(TxResult{on});
}

namespace {
// One frame line of monitor and tap: time, direction, the bytes and what they are.
void PrintFrame(Printer* printer, const char* directionKey, const char* direction,
                const uint8_t* line, uint8_t length) {
  const FrameMeaning meaning = DescribeFrame(line, length);
  const std::string time = TimeOfDay();
  std::string text = time + " " + direction + " " + QuotedBytes(line, length) + " " + meaning.kind;
  if (std::strcmp(meaning.checksum, "bad") == 0) text += ", bad checksum";
  if (!meaning.detail.empty()) text += ": " + meaning.detail;
  JsonObject object;
  object.Add("time", time).Add("event", "frame").Add(directionKey, direction);
  object.Add("frame", std::string(reinterpret_cast<const char*>(line), length));
  meaning.AddTo(&object);
  printer->Line(text, object);
}

void PrintEvent(Printer* printer, const std::string& event, const std::string& text,
                const JsonObject& fields = JsonObject()) {
  const std::string time = TimeOfDay();
  JsonObject object;
  object.Add("time", time).Add("event", event).Merge(fields);
  printer->Line(time + " " + text, object);
}
}  // namespace

namespace {
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits `ms` in short steps; false when a stop was asked for meanwhile.
bool PauseUnlessStopped(int ms) {
  for (int waited = 0; waited < ms; waited += kStopCheckMs) {
    if (StopRequested()) return false;
    SleepMs(kStopCheckMs);
  }
  return !StopRequested();
}

JsonObject PortField(const std::string& port) {
  JsonObject o;
  o.Add("port", port);
  return o;
}
}  // namespace

int RunMonitor(const CommonOptions& options, const MonitorOptions& monitor) {
  Printer printer(options.json, "monitor");
  std::string reason;
  if (!monitor.logFile.empty() && !printer.OpenLog(monitor.logFile, &reason)) {
    return printer.Print(Failure{kExitUsage, "bad file",
                                 "cannot open the log file " + monitor.logFile + ": " + reason});
  }
  // The page's state, owned by the reader thread here: frames are handled where they
  // arrive, in order, and the indications answer to an "R" goes out from there too.
  CommsState state;
  state.respond = monitor.respond;
  state.wideIndications = monitor.wide;
  std::memcpy(state.indications, monitor.indications, sizeof state.indications);
  std::string shownControls;
  std::atomic<unsigned long> framesIn{0}, framesOut{0};

  VtlLink link;
  link.respond = monitor.respond;
  link.onLine = [&](const uint8_t* line, uint8_t length) {
    ++framesIn;
    PrintFrame(&printer, "dir", "rx", line, length);
  };
  link.onSent = [&](const uint8_t* line, uint8_t length) {
    ++framesOut;
    PrintFrame(&printer, "dir", "tx", line, length);
  };
  link.onAccepted = [&](const ReceivedFrame& frame) {
    switch (state.Receive(frame.bytes, frame.length)) {
      case FrameEffect::kShowControls: {
        const std::string bits = state.BitsText(BitSet::kControls);
        if (bits == shownControls) break;
        shownControls = bits;
        JsonObject fields;
        fields.Add("width", state.wideControls ? 64 : 32).Add("bits", bits);
        PrintEvent(&printer, "controls", "controls " + bits, fields);
        break;
      }
      case FrameEffect::kShowIndications: {
        JsonObject fields;
        fields.Add("bits", state.BitsText(BitSet::kIndications));
        PrintEvent(&printer, "indications", "indications " + state.BitsText(BitSet::kIndications),
                   fields);
        break;
      }
      case FrameEffect::kSendIndications: {
        uint8_t payload[CommsState::kMaxPayload];
        const unsigned n = state.IndicationsPayload(payload);
        if (!link.SendFrame(payload, n)) {
          PrintEvent(&printer, "send-failed", kIndicationsNotSentText);
        }
        break;
      }
      case FrameEffect::kNone:
        break;
    }
    return false;  // handled here; nothing waits on the queue
  };

  CatchStopSignals();
  if (!link.Open(options.port, &reason)) return printer.Print(PortFailure(reason));
  PrintEvent(&printer, "opened", options.port + " opened" +
                                     (monitor.respond ? ", answering as the ZVL equipment" : ""),
             PortField(options.port));
  while (PauseUnlessStopped(kStopCheckMs)) {
    if (!link.Lost()) continue;
    link.Close();
    PrintEvent(&printer, "lost", options.port + " lost; reopening it when it comes back",
               PortField(options.port));
    // The device may come back under the same name (a USB adapter plugged in again).
    while (PauseUnlessStopped(kReopenEveryMs)) {
      if (link.Open(options.port, &reason)) {
        PrintEvent(&printer, "opened", options.port + " opened again", PortField(options.port));
        break;
      }
    }
  }
  link.Close();
  JsonObject counts;
  counts.Add("frames_in", static_cast<long long>(framesIn.load()));
  counts.Add("frames_out", static_cast<long long>(framesOut.load()));
  PrintEvent(&printer, "end",
             "frames in: " + std::to_string(framesIn.load()) +
                 ", frames out: " + std::to_string(framesOut.load()),
             counts);
  return kExitDone;
}

namespace {
// One side of the tap: every byte read is written to the other side at once, then the
// lines are cut out for printing. Both sides' reader threads print; the printer keeps
// each line whole.
class TapEnd : public SerialPort {
 public:
  TapEnd(const char* name, const char* direction, Printer* printer)
      : name(name), direction(direction), printer(printer) {}
  ~TapEnd() override { Close(); }

  // Writes to this side from the other side's reader thread; nothing once it is closed.
  uint32_t Forward(const uint8_t* data, uint32_t count) {
    std::lock_guard<std::mutex> hold(guard);
    return IsOpen() ? Write(data, count) : 0;
  }
  // Closing and reopening take the same lock, so no forward is under way meanwhile.
  void Shut() {
    std::lock_guard<std::mutex> hold(guard);
    Close();
  }
  std::mutex guard;

  TapEnd* other = nullptr;
  const char* const name;       // "tool" or "unit"
  const char* const direction;  // how its bytes travel: "tool>unit"
  std::atomic<bool> lost{false};
  std::atomic<unsigned long> bytes{0}, frames{0}, unsent{0};

 private:
  void OnBytesReceived(const uint8_t* data, uint32_t count) override {
    const uint32_t written = other->Forward(data, count);
    bytes += count;
    if (written != count) unsent += count - written;
    for (uint32_t i = 0; i < count; ++i) {
      if (!line.Feed(data[i])) continue;
      ++frames;
      PrintFrame(printer, "dir", direction, line.line(), line.length());
    }
    if (written != count) {
      JsonObject fields;
      fields.Add("bytes", static_cast<long long>(count - written)).Add("to", other->name);
      PrintEvent(printer, "not-forwarded",
                 std::to_string(count - written) + " bytes could not be written to the " +
                     other->name + " side",
                 fields);
    }
  }
  void OnDeviceFailed() override { lost = true; }

  Printer* const printer;
  LineAssembler line;  // reader thread only
};

SerialPort::OpenStatus OpenTapEnd(TapEnd* end, const std::string& port, std::string* ptyPath) {
  if (port == "pty") return end->OpenPseudoTerminal(static_cast<int16_t>(FrameCodec::kLinkBaud), ptyPath);
  return end->Open(DevicePath(port).c_str(), static_cast<int16_t>(FrameCodec::kLinkBaud),
                   SerialPort::kFraming8N1);
}
}  // namespace

int RunTap(const CommonOptions& options, const std::string& toolPort,
           const std::string& unitPort) {
  Printer printer(options.json, "tap");
  TapEnd tool("tool", "tool>unit", &printer);
  TapEnd unit("unit", "unit>tool", &printer);
  tool.other = &unit;
  unit.other = &tool;
  CatchStopSignals();
  // The tool's side first: a new pseudo-terminal has nobody on it yet, so its path is
  // printed before any frame. What arrives on one side before the other is open is
  // reported as not forwarded.
  std::string ptyPath;
  const struct {
    TapEnd* end;
    const std::string& port;
  } ends[2] = {{&tool, toolPort}, {&unit, unitPort}};
  for (const auto& e : ends) {
    if (OpenTapEnd(e.end, e.port, &ptyPath) != SerialPort::kOpened) {
      const std::string reason = LastSystemError();
      return printer.Print(
          PortFailure("cannot open the " + std::string(e.end->name) + " side " +
                      (e.port == "pty" ? "(a new pseudo-terminal)" : e.port) + ": " + reason));
    }
    if (e.end == &tool && !ptyPath.empty()) {
      JsonObject fields;
      fields.Add("path", ptyPath);
      PrintEvent(&printer, "pty", "the tool's end is " + ptyPath, fields);
    }
  }
  JsonObject tapped;
  tapped.Add("tool", ptyPath.empty() ? toolPort : ptyPath).Add("unit", unitPort);
  PrintEvent(&printer, "tapping",
             "tapping tool " + (ptyPath.empty() ? toolPort : ptyPath) + " <-> unit " + unitPort,
             tapped);
  while (PauseUnlessStopped(kStopCheckMs)) {
    for (const auto& e : ends) {
      if (!e.end->lost) continue;
      e.end->Shut();
      JsonObject fields;
      fields.Add("side", e.end->name).Add("port", e.port);
      PrintEvent(&printer, "lost", std::string("the ") + e.end->name + " side " + e.port +
                                       " was lost; reopening it when it comes back", fields);
      while (PauseUnlessStopped(kReopenEveryMs)) {
        e.end->lost = false;
        std::unique_lock<std::mutex> hold(e.end->guard);
        const bool reopened = OpenTapEnd(e.end, e.port, &ptyPath) == SerialPort::kOpened;
        hold.unlock();
        if (reopened) {
          PrintEvent(&printer, "opened", std::string("the ") + e.end->name + " side opened again",
                     fields);
          break;
        }
      }
    }
  }
  tool.Shut();
  unit.Shut();
  JsonObject counts;
  for (const TapEnd* end : {&tool, &unit}) {
    const std::string key = end == &tool ? "tool_to_unit" : "unit_to_tool";
    counts.Add(key + "_bytes", static_cast<long long>(end->bytes.load()));
    counts.Add(key + "_frames", static_cast<long long>(end->frames.load()));
    counts.Add(key + "_unsent", static_cast<long long>(end->unsent.load()));
  }
  PrintEvent(&printer, "end",
             "tool>unit: " + std::to_string(tool.frames.load()) + " frames, " +
                 std::to_string(tool.bytes.load()) + " bytes; unit>tool: " +
                 std::to_string(unit.frames.load()) + " frames, " +
                 std::to_string(unit.bytes.load()) + " bytes; not forwarded: " +
                 std::to_string(tool.unsent.load() + unit.unsent.load()) + " bytes",
             counts);
  return kExitDone;
}

int RunPorts(const CommonOptions& options) {
  return Printer(options.json, "ports").Print(ListPorts());
}
