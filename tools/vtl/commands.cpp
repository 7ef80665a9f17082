#include "tools/vtl/commands.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "comms/comms_state.h"
#include "config/config_file.h"
#include "config/config_form.h"
#include "platform/utf8.h"
#include "tools/vtl/frame_text.h"
#include "tools/vtl/json_writer.h"
#include "tools/vtl/platform.h"
#include "tools/vtl/record_text.h"
#include "tools/vtl/vtl_link.h"

namespace {
constexpr int kReopenEveryMs = 500;
constexpr int kStopCheckMs = 20;

// Lines for people on stdout, or one JSON object per line with --json; with a log file
// the same lines are appended there. Each line is written whole and flushed, from
// whichever thread, so that a reader of a pipe sees it at once.
class Printer {
 public:
  explicit Printer(bool json) : json(json) {}
  ~Printer() {
    if (log != nullptr) std::fclose(log);
  }
  bool OpenLog(const std::string& path, std::string* reason) {
    log = OpenFile(path, "a");
    if (log == nullptr) *reason = LastSystemError();
    return log != nullptr;
  }
  void Line(const std::string& text, const JsonObject& object) {
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
  void Report(const std::vector<std::string>& lines, const JsonObject& object) {
    std::string text;
    for (const std::string& l : lines) text += (text.empty() ? "" : "\n") + l;
    Line(text, object);
  }
  const bool json;

 private:
  std::mutex mutex;
  FILE* log = nullptr;
};

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

// A failure: its text on stderr, or with --json one object on stdout; returns `status`.
int Fail(const CommonOptions& options, const std::string& command, int status,
         const char* result, const std::string& message) {
  if (options.json) {
    JsonObject object;
    object.Add("command", command).Add("result", result).Add("error", message).Add("exit", status);
    std::printf("%s\n", object.Text().c_str());
    std::fflush(stdout);
  } else {
    const std::string who = command.empty() ? "vtl" : "vtl " + command;
    std::fprintf(stderr, "%s: %s\n", who.c_str(), message.c_str());
  }
  return status;
}

int PortFailure(const CommonOptions& o, const std::string& command, const std::string& message) {
  return Fail(o, command, kExitPort, "port", message);
}

std::string WindowText(const CommonOptions& o) {
  return "within the " + std::to_string(o.timeoutMs) + " ms window";
}

// One command's use of the link: the port opened, the page's request state, and the
// outcomes of the two requests that carry the record.
struct Session {
  const CommonOptions& options;
  const std::string command;
  VtlLink link;
  ConfigForm form;
  bool verifyDiffered = false;

  Session(const CommonOptions& options, const std::string& command)
      : options(options), command(command) {
    form.answerWindowMs = options.timeoutMs;
  }

  int Open() {
    std::string reason;
    if (link.Open(options.port, &reason)) return kExitDone;
    return PortFailure(options, command, reason);
  }

  int Lost(const char* during) {
    return PortFailure(options, command,
                       "the port " + options.port + " was lost during the " + during);
  }

  // Sends a request payload; the tick it went out, or a failure status.
  bool Send(const uint8_t* payload, size_t length, uint32_t* tick) {
    const bool sent = link.SendFrame(payload, static_cast<uint32_t>(length));
    *tick = VtlLink::Now();
    return sent;
  }

  // Reads the unit's record: the read request, its ACK within the window, and the read
  // response within the window after that.
  int ReadRecord(ReadResponse* response) {
    uint32_t tick;
    if (!Send(kReadRequest, kRequestLength, &tick)) return Lost("read request");
    form.ReadRequested(tick);
    uint32_t deadline = tick + options.timeoutMs;
    bool acknowledged = false;
    ReceivedFrame frame;
    for (;;) {
      switch (link.NextFrame(deadline, &frame)) {
        case VtlLink::Next::kLost:
          return Lost("read");
        case VtlLink::Next::kDeadline:
          return Fail(options, command, kExitUnit, "no answer",
                      acknowledged ? "the unit acknowledged the read request but sent no read "
                                     "response " + WindowText(options)
                                   : "no answer to the read request " + WindowText(options));
        case VtlLink::Next::kFrame:
          break;
      }
      const uint8_t type = frame.bytes[1];
      const ConfigForm::FrameOutcome outcome = form.OnFrame(frame.bytes, frame.length, frame.tick);
      if (type == '+' || type == '-') {
        if (!AnsweredInTime(tick, frame.tick, options.timeoutMs)) continue;  // a stale answer
        if (type == '-') {
          return Fail(options, command, kExitUnit, "refused",
                      outcome.statuses.empty() ? "Read command rejected" : outcome.statuses.back());
        }
        acknowledged = true;
        deadline = frame.tick + options.timeoutMs;
        continue;
      }
      const ReadResponseStatus status = DecodeReadResponse(frame.bytes, frame.length, response);
      if (status == ReadResponseStatus::kInvalid) {
        return Fail(options, command, kExitUnit, "invalid response",
                    std::string(kInvalidConfigurationText) + " (a read response of " +
                        std::to_string(frame.length) + " bytes; it must be 24)");
      }
      if (status == ReadResponseStatus::kValid) return kExitDone;
    }
  }

  // Sends a request and waits for its ACK or NAK within the window. `form` judges the
  // answers to a write; Tx on and off are judged by the window alone, as on the page.
  int AwaitAnswer(const uint8_t* payload, size_t length, bool isWrite, const char* what,
                  std::string* status) {
    uint32_t tick;
    if (!Send(payload, length, &tick)) return Lost(what);
    if (isWrite) form.WriteRequested(tick);
    ReceivedFrame frame;
    for (;;) {
      switch (link.NextFrame(tick + options.timeoutMs, &frame)) {
        case VtlLink::Next::kLost:
          return Lost(what);
        case VtlLink::Next::kDeadline:
          return Fail(options, command, kExitUnit, "no answer",
                      std::string("no answer to the ") + what + " " + WindowText(options));
        case VtlLink::Next::kFrame:
          break;
      }
      const uint8_t type = frame.bytes[1];
      if (type != '+' && type != '-') continue;
      const ConfigForm::FrameOutcome outcome = form.OnFrame(frame.bytes, frame.length, frame.tick);
      if (!AnsweredInTime(tick, frame.tick, options.timeoutMs)) continue;
      if (isWrite && !outcome.statuses.empty()) *status = outcome.statuses.front();
      if (type == '-') {
        return Fail(options, command, kExitUnit, "refused",
                    isWrite ? *status : std::string("the unit refused the ") + what + " (NAK)");
      }
      return kExitDone;
    }
  }

  // Writes the record, and with `verify` reads it back and compares all seven bytes.
  int WriteRecord(const UnitConfig& record, bool verify, JsonObject* object,
                  std::vector<std::string>* lines) {
    const ConfigPacket packet = BuildConfigPacket(record);
    std::string status;
    const int answered =
        AwaitAnswer(packet.data(), packet.size(), true, "configuration write", &status);
    if (answered != kExitDone) return answered;
    object->Add("status", status);
    lines->push_back(status);
    lines->push_back(Labelled("Record written", RecordHex(record, true)));
    if (!verify) return kExitDone;
    ReadResponse response;
    const int read = ReadRecord(&response);
    if (read != kExitDone) return read;
    const std::vector<std::string> differences = RecordDifferences(record, response.config);
    object->Add("verified", differences.empty());
    object->Add("read_back", RecordHex(response.config, false));
    object->Add("differences", differences);
    lines->push_back(Labelled("Read back", RecordHex(response.config, true)));
    if (differences.empty()) {
      lines->push_back("Verified: the unit holds the record written");
      return kExitDone;
    }
    verifyDiffered = true;
    lines->push_back("Verify found differences:");
    for (const std::string& d : differences) lines->push_back("  " + d);
    return kExitUnit;
  }
};

void AddResponse(JsonObject* object, std::vector<std::string>* lines, const ReadResponse& r) {
  object->Add("status", r.statusText);
  object->Add("firmware", r.firmware);
  object->Add("dip_switches", r.daughterBoardText);
  lines->push_back(r.statusText);
  lines->push_back(Labelled("Firmware", r.firmware));
  lines->push_back(Labelled("Dip switches", r.daughterBoardText + std::strlen("Dip Switch: ")));
}

std::string FileFailure(ConfigFileError error, const std::string& file) {
  return std::string(ConfigFileMessage(error)) + ": " + file;
}
}  // namespace

int UsageError(const CommonOptions& options, const std::string& command,
               const std::string& message) {
  return Fail(options, command, kExitUsage, "usage",
              message + " (vtl --help tells more)");
}

bool LoadRecordFile(const CommonOptions& options, const std::string& command,
                    const std::string& file, UnitConfig* record, int* exitStatus) {
  const ConfigFileError error = LoadConfigFile(file.c_str(), record);
  if (error == ConfigFileError::kNone) return true;
  std::string message = FileFailure(error, file);
  if (error == ConfigFileError::kWrongSize) {
    FILE* f = OpenFile(file, "rb");
    long size = -1;
    if (f != nullptr && std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (f != nullptr) std::fclose(f);
    if (size >= 0) message += " (" + std::to_string(size) + " bytes; a .vtl file is 7)";
  } else if (error == ConfigFileError::kOpenFailed) {
    message += " (" + LastSystemError() + ")";
  }
  *exitStatus = Fail(options, command, kExitUsage, "bad file", message);
  return false;
}

int RunShow(const CommonOptions& options, const std::string& file) {
  UnitConfig record{};
  int status = kExitDone;
  if (!LoadRecordFile(options, "show", file, &record, &status)) return status;
  JsonObject object;
  object.Add("command", "show").Add("result", "ok").Add("file", file);
  AddRecord(&object, record);
  std::vector<std::string> lines;
  AddRecordLines(&lines, record);
  Printer(options.json).Report(lines, object);
  return kExitDone;
}

int RunRead(const CommonOptions& options, const std::string& saveFile) {
  Session session(options, "read");
  if (const int opened = session.Open()) return opened;
  ReadResponse response;
  if (const int read = session.ReadRecord(&response)) return read;
  JsonObject object;
  std::vector<std::string> lines;
  object.Add("command", "read");
  AddResponse(&object, &lines, response);
  AddRecord(&object, response.config);
  AddRecordLines(&lines, response.config);
  int status = kExitDone;
  std::string saveFailure;
  if (!saveFile.empty()) {
    const ConfigFileError saved = SaveConfigFile(saveFile.c_str(), response.config);
    if (saved == ConfigFileError::kNone) {
      object.Add("saved", saveFile);
      lines.push_back(Labelled("Saved to", saveFile));
    } else {
      status = kExitUsage;
      saveFailure = FileFailure(saved, saveFile) + " (" + LastSystemError() +
                    "); an existing file is left as it was";
      object.Add("error", saveFailure).Add("exit", status);
    }
  }
  // The record is shown even when it could not be saved: it was read.
  object.Add("result", status == kExitDone ? "ok" : "bad file");
  Printer(options.json).Report(lines, object);
  if (status != kExitDone && !options.json) {
    std::fprintf(stderr, "vtl read: %s\n", saveFailure.c_str());
  }
  return status;
}

int RunWrite(const CommonOptions& options, const std::string& command, const UnitConfig& record,
             bool verify) {
  Session session(options, command);
  if (const int opened = session.Open()) return opened;
  JsonObject object;
  std::vector<std::string> lines;
  object.Add("command", command).Add("written", RecordHex(record, false));
  const int status = session.WriteRecord(record, verify, &object, &lines);
  // A failed request has been reported already; a difference found is reported here.
  if (status == kExitDone || session.verifyDiffered) {
    object.Add("result", status == kExitDone ? "ok" : "different");
    Printer(options.json).Report(lines, object);
  }
  return status;
}

int RunSet(const CommonOptions& options, const std::vector<std::string>& assignments,
           bool verify) {
  // Every assignment is checked on a scratch record before the port is touched.
  UnitConfig scratch = DefaultConfig();
  std::string error;
  for (const std::string& assignment : assignments) {
    if (!ApplyAssignment(assignment, &scratch, &error)) return UsageError(options, "set", error);
  }
  Session session(options, "set");
  if (const int opened = session.Open()) return opened;
  ReadResponse response;
  if (const int read = session.ReadRecord(&response)) return read;
  UnitConfig record = response.config;
  for (const std::string& assignment : assignments) ApplyAssignment(assignment, &record, &error);
  JsonObject object;
  std::vector<std::string> lines;
  object.Add("command", "set").Add("read", RecordHex(response.config, false));
  object.Add("written", RecordHex(record, false));
  lines.push_back(Labelled("Record read", RecordHex(response.config, true)));
  const int status = session.WriteRecord(record, verify, &object, &lines);
  if (status == kExitDone || session.verifyDiffered) {
    object.Add("result", status == kExitDone ? "ok" : "different");
    AddRecord(&object, record);
    AddRecordLines(&lines, record);
    Printer(options.json).Report(lines, object);
  }
  return status;
}

int RunTx(const CommonOptions& options, bool on) {
  Session session(options, "tx");
  if (const int opened = session.Open()) return opened;
  std::string unused;
  const int status = session.AwaitAnswer(on ? kTxOnRequest : kTxOffRequest, kRequestLength, false,
                                         on ? "Tx on request" : "Tx off request", &unused);
  if (status != kExitDone) return status;
  JsonObject object;
  object.Add("command", "tx").Add("result", "ok").Add("state", on ? "on" : "off");
  object.Add("status", on ? "Tx on" : "Tx off");
  Printer(options.json).Line(on ? "Tx on" : "Tx off", object);
  return kExitDone;
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
  Printer printer(options.json);
  std::string reason;
  if (!monitor.logFile.empty() && !printer.OpenLog(monitor.logFile, &reason)) {
    return Fail(options, "monitor", kExitUsage, "bad file",
                "cannot open the log file " + monitor.logFile + ": " + reason);
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
  link.onAccepted = [&](const uint8_t* frame, uint8_t length) {
    switch (state.Receive(frame, length)) {
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
  };

  CatchStopSignals();
  if (!link.Open(options.port, &reason)) return PortFailure(options, "monitor", reason);
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
  Printer printer(options.json);
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
      return PortFailure(options, "tap",
                         "cannot open the " + std::string(e.end->name) + " side " +
                             (e.port == "pty" ? "(a new pseudo-terminal)" : e.port) + ": " + reason);
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
  const std::vector<std::string> ports = ListPorts();
  if (options.json) {
    JsonObject object;
    object.Add("command", "ports").Add("result", "ok").Add("ports", ports);
    std::printf("%s\n", object.Text().c_str());
  } else {
    for (const std::string& port : ports) std::printf("%s\n", port.c_str());
  }
  return kExitDone;
}
