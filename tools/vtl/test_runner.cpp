#include "tools/vtl/test_runner.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "comms/comms_state.h"
#include "config/config_form.h"
#include "tools/vtl/json_writer.h"
#include "tools/vtl/platform.h"
#include "tools/vtl/record_text.h"
#include "tools/vtl/test_report.h"
#include "tools/vtl/vtl_link.h"

namespace {
// How often a wait looks at Ctrl-C and at the port's loss.
constexpr uint32_t kStopCheckMs = 20;
constexpr uint32_t kLineBytesPerSecond = FrameCodec::kLinkBaud / 10;  // 8N1: ten bits a byte

bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// The page's bits text without the space after its last group.
std::string Trimmed(std::string bits) {
  while (!bits.empty() && bits.back() == ' ') bits.pop_back();
  return bits;
}

// Whether the controls seen ("10000000 00000000 ...") fit the pattern ("1xxxxxxx0000...").
bool ControlsMatch(const std::string& pattern, const std::string& bits) {
  std::string seen;
  for (const char c : bits) {
    if (c != ' ') seen += c;
  }
  if (seen.size() != pattern.size()) return false;
  for (size_t i = 0; i < seen.size(); ++i) {
    if (pattern[i] != 'x' && pattern[i] != seen[i]) return false;
  }
  return true;
}

// One unit's test: its link, the page's request state, and the ZVL side answered as
// "Respond to messages" does.
//
// Threads: the unit's thread runs the steps and sends the requests; the link's reader
// thread answers the unit's controls and polls (OnAccepted) and queues the answers to
// requests for the unit's thread. `zvl`, `lastControls`, `controlsPattern`,
// `controlsMatched`, the poll counts and the outstanding sends are guarded by `mutex`;
// the reader never waits for the unit's thread, only for the mutex.
class UnitRun {
 public:
  UnitRun(const Plan& plan, std::string port, TestPrinter* printer)
      : plan(plan), port(std::move(port)), printer(printer) {
    zvl.respond = true;
    link.respond = true;
    link.faults = &faults;
    link.onAccepted = [this](const uint8_t* frame, uint8_t length) { OnAccepted(frame, length); };
  }

  UnitResult Run();

 private:
  enum class Got { kDone, kDeadline, kLost, kStopped };
  struct Sent {
    uint32_t start = 0, returned = 0;
    size_t bytes = 0;
  };

  void OnAccepted(const uint8_t* frame, uint8_t length);
  void RunStep(const PlanStep& step, StepResult* r);

  // Waits until `done` holds (checked under the mutex), the tick `deadline`, the port's
  // loss or Ctrl-C.
  template <typename Done>
  Got WaitUntil(uint32_t deadline, Done done);
  Got NextFrame(uint32_t deadline, ReceivedFrame* frame);
  bool Send(const uint8_t* payload, size_t length, Sent* sent);
  uint32_t AnswerMs(const Sent& sent, uint32_t answerTick) const;

  bool ReadRecord(const PlanStep& step, StepResult* r, ReadResponse* response);
  bool AwaitAnswer(const PlanStep& step, const uint8_t* payload, size_t length, bool isWrite,
                   const std::string& what, StepResult* r);
  bool WriteRecord(const PlanStep& step, const UnitConfig& record, StepResult* r);
  bool CheckRead(const PlanStep& step, const ReadResponse& response, StepResult* r);
  bool ExpectControls(const PlanStep& step, StepResult* r);
  bool ExpectPoll(const PlanStep& step, StepResult* r);

  bool Fail(StepResult* r, const std::string& reason) {
    r->verdict = Verdict::kFail;
    r->reason = reason;
    return false;
  }
  // A wait that ended without its answer: the port lost, Ctrl-C, or the window passed.
  bool Ended(Got got, StepResult* r, const std::string& noAnswer);

  const Plan& plan;
  const std::string port;
  TestPrinter* const printer;
  VtlLink link;
  FaultInjector faults;
  ConfigForm form;  // the unit's thread only
  UnitResult result;

  std::mutex mutex;
  std::condition_variable changed;
  CommsState zvl;
  std::string lastControls;
  std::string controlsPattern;  // empty while no step expects controls
  bool controlsMatched = false;
  // The unit answers in order, so an ACK or NAK belongs to the earliest of the request
  // and the poll answer outstanding.
  uint64_t sendCount = 0;
  uint64_t requestSeq = 0, pollAnswerSeq = 0;  // 0: none outstanding
  Sent pollAnswer;
  uint64_t lastAcknowledgedPoll = 0;  // the sequence number of the last poll answer ACKed
  uint32_t lastPollAnswerMs = 0;
};

void UnitRun::OnAccepted(const uint8_t* frame, uint8_t length) {
  const uint8_t type = frame[1];
  if (type == '~') {
    link.Enqueue(frame, length);
    return;
  }
  std::unique_lock<std::mutex> hold(mutex);
  if (type == '+' || type == '-') {
    const uint32_t now = VtlLink::Now();
    if (pollAnswerSeq != 0 && !Before(pollAnswer.returned + plan.timeoutMs, now) &&
        (requestSeq == 0 || pollAnswerSeq < requestSeq)) {
      if (type == '+') {
        lastAcknowledgedPoll = pollAnswerSeq;
        lastPollAnswerMs = AnswerMs(pollAnswer, now);
      }
      pollAnswerSeq = 0;
      changed.notify_all();
      return;
    }
    pollAnswerSeq = 0;  // an answer to a request, or one long overdue
    hold.unlock();
    link.Enqueue(frame, length);
    return;
  }
  switch (zvl.Receive(frame, length)) {
    case FrameEffect::kShowControls:
      lastControls = Trimmed(zvl.BitsText(BitSet::kControls));
      if (!controlsPattern.empty() && ControlsMatch(controlsPattern, lastControls)) {
        controlsMatched = true;
        changed.notify_all();
      }
      break;
    case FrameEffect::kSendIndications: {
      uint8_t payload[CommsState::kMaxPayload];
      const unsigned n = zvl.IndicationsPayload(payload);
      const uint64_t seq = ++sendCount;
      Sent sent;
      sent.start = VtlLink::Now();
      sent.bytes = n + kFrameOverhead;
      hold.unlock();  // a delay held back by the faults must not hold the unit's thread
      const bool answered = faults.SendIndications(&link, payload, n);
      sent.returned = VtlLink::Now();
      hold.lock();
      if (answered) {
        pollAnswer = sent;
        pollAnswerSeq = seq;
      }
      break;
    }
    case FrameEffect::kShowIndications:
    case FrameEffect::kNone:
      break;
  }
}

template <typename Done>
UnitRun::Got UnitRun::WaitUntil(uint32_t deadline, Done done) {
  std::unique_lock<std::mutex> hold(mutex);
  for (;;) {
    if (done()) return Got::kDone;
    if (StopRequested()) return Got::kStopped;
    if (link.Lost()) return Got::kLost;
    const uint32_t now = VtlLink::Now();
    if (!Before(now, deadline)) return Got::kDeadline;
    const uint32_t left = deadline - now;
    changed.wait_for(hold, std::chrono::milliseconds(left < kStopCheckMs ? left : kStopCheckMs));
  }
}

UnitRun::Got UnitRun::NextFrame(uint32_t deadline, ReceivedFrame* frame) {
  for (;;) {
    if (StopRequested()) return Got::kStopped;
    const uint32_t now = VtlLink::Now();
    const uint32_t slice = Before(now + kStopCheckMs, deadline) ? now + kStopCheckMs : deadline;
    switch (link.NextFrame(slice, frame)) {
      case VtlLink::Next::kFrame: return Got::kDone;
      case VtlLink::Next::kLost: return Got::kLost;
      case VtlLink::Next::kDeadline:
        if (slice == deadline) return Got::kDeadline;
        break;
    }
  }
}

bool UnitRun::Send(const uint8_t* payload, size_t length, Sent* sent) {
  // Answers still queued belong to earlier requests that were given up.
  ReceivedFrame stale;
  while (link.NextFrame(VtlLink::Now(), &stale) == VtlLink::Next::kFrame) {
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    requestSeq = ++sendCount;
  }
  sent->start = VtlLink::Now();
  sent->bytes = length + kFrameOverhead;
  const bool ok = link.SendFrame(payload, static_cast<uint32_t>(length));
  sent->returned = VtlLink::Now();
  return ok;
}

// From the request's last byte on the line to the answer's last byte. A write returns
// once the driver holds the bytes, before the line has sent them, so the last byte went
// out no earlier than the bytes' own time at 240 bytes a second after the write began.
// An answer earlier than that came over a line faster than the unit's (a bare
// pseudo-terminal): its time counts from the write's return.
uint32_t UnitRun::AnswerMs(const Sent& sent, uint32_t answerTick) const {
  const uint32_t onLine =
      sent.start + static_cast<uint32_t>((sent.bytes * 1000 + kLineBytesPerSecond - 1) / kLineBytesPerSecond);
  uint32_t from = Before(sent.returned, onLine) ? onLine : sent.returned;
  if (Before(answerTick, from)) from = sent.returned;
  return Before(answerTick, from) ? 0 : answerTick - from;
}

bool UnitRun::Ended(Got got, StepResult* r, const std::string& noAnswer) {
  switch (got) {
    case Got::kStopped:
      r->verdict = Verdict::kSkip;
      r->reason = "interrupted";
      result.interrupted = true;
      return false;
    case Got::kLost:
      r->verdict = Verdict::kError;
      r->reason = "the port " + port + " was lost: " + link.LostReason();
      return false;
    case Got::kDeadline:
      return Fail(r, noAnswer);
    case Got::kDone:
      break;
  }
  return true;
}

bool UnitRun::ReadRecord(const PlanStep& step, StepResult* r, ReadResponse* response) {
  const std::string window = " within the " + std::to_string(step.timeoutMs) + " ms window";
  Sent sent;
  if (!Send(kReadRequest, kRequestLength, &sent)) return Ended(Got::kLost, r, "");
  form.answerWindowMs = step.timeoutMs;
  form.ReadRequested(sent.returned);
  uint32_t deadline = sent.returned + step.timeoutMs;
  bool acknowledged = false;
  ReceivedFrame frame;
  for (;;) {
    const Got got = NextFrame(deadline, &frame);
    if (got != Got::kDone) {
      return Ended(got, r,
                   acknowledged ? "the unit acknowledged the read request but sent no read "
                                  "response" + window
                                : "no answer to the read request" + window);
    }
    const uint8_t type = frame.bytes[1];
    const ConfigForm::FrameOutcome outcome = form.OnFrame(frame.bytes, frame.length, frame.tick);
    if (type == '+' || type == '-') {
      if (!AnsweredInTime(sent.returned, frame.tick, step.timeoutMs)) continue;
      if (type == '-') {
        return Fail(r, outcome.statuses.empty() ? kReadRejectedStatus : outcome.statuses.back());
      }
      acknowledged = true;
      deadline = frame.tick + step.timeoutMs;
      continue;
    }
    const ReadResponseStatus status = DecodeReadResponse(frame.bytes, frame.length, response);
    if (status == ReadResponseStatus::kInvalid) {
      return Fail(r, std::string(kInvalidConfigurationText) + " (a read response of " +
                         std::to_string(frame.length) + " bytes; it must be 24)");
    }
    if (status != ReadResponseStatus::kValid) continue;
    r->answerMs.push_back(AnswerMs(sent, frame.tick));
    std::lock_guard<std::mutex> hold(mutex);
    requestSeq = 0;
    break;
  }
  // The text the page shows after "Dip Switch: ".
  const char* dips = std::strchr(response->daughterBoardText, ':');
  r->firmware = result.firmware = response->firmware;
  r->dipSwitches = result.dipSwitches = dips != nullptr ? dips + 2 : "";
  r->record = result.record = RecordHex(response->config, false);
  return true;
}

bool UnitRun::AwaitAnswer(const PlanStep& step, const uint8_t* payload, size_t length,
                          bool isWrite, const std::string& what, StepResult* r) {
  Sent sent;
  if (!Send(payload, length, &sent)) return Ended(Got::kLost, r, "");
  form.answerWindowMs = step.timeoutMs;
  if (isWrite) form.WriteRequested(sent.returned);
  ReceivedFrame frame;
  for (;;) {
    const Got got = NextFrame(sent.returned + step.timeoutMs, &frame);
    if (got != Got::kDone) {
      return Ended(got, r, "no answer to the " + what + " within the " +
                               std::to_string(step.timeoutMs) + " ms window");
    }
    const uint8_t type = frame.bytes[1];
    if (type != '+' && type != '-') continue;
    const ConfigForm::FrameOutcome outcome = form.OnFrame(frame.bytes, frame.length, frame.tick);
    if (!AnsweredInTime(sent.returned, frame.tick, step.timeoutMs)) continue;
    r->answerMs.push_back(AnswerMs(sent, frame.tick));
    {
      std::lock_guard<std::mutex> hold(mutex);
      requestSeq = 0;
    }
    if (type == '-') {
      return Fail(r, isWrite && !outcome.statuses.empty()
                         ? outcome.statuses.front()
                         : "the unit refused the " + what + " (NAK)");
    }
    return true;
  }
}

bool UnitRun::WriteRecord(const PlanStep& step, const UnitConfig& record, StepResult* r) {
  const ConfigPacket packet = BuildConfigPacket(record);
  if (!AwaitAnswer(step, packet.data(), packet.size(), true, "configuration write", r)) {
    return false;
  }
  r->figure = std::string(kWriteSuccessfulStatus) + ", record " + RecordHex(record, false);
  if (!step.verify) return true;
  ReadResponse response;
  if (!ReadRecord(step, r, &response)) return false;
  const std::vector<std::string> differences = RecordDifferences(record, response.config);
  if (!differences.empty()) {
    std::string text = "verify found differences:";
    for (const std::string& d : differences) text += " " + d + ";";
    text.pop_back();
    return Fail(r, text);
  }
  r->figure += ", verified";
  return true;
}

bool UnitRun::CheckRead(const PlanStep& step, const ReadResponse& response, StepResult* r) {
  std::vector<std::string> wrong;
  if (!step.firmware.empty() && step.firmware != response.firmware) {
    wrong.push_back("firmware " + std::string(response.firmware) + ", expected " + step.firmware);
  }
  if (!step.firmwareMin.empty() && std::strcmp(response.firmware, step.firmwareMin.c_str()) < 0) {
    wrong.push_back("firmware " + std::string(response.firmware) + ", expected " +
                    step.firmwareMin + " or later");
  }
  if (!step.dipSwitches.empty() && step.dipSwitches != r->dipSwitches) {
    wrong.push_back("dip switches \"" + r->dipSwitches + "\", expected \"" + step.dipSwitches + "\"");
  }
  if (!step.record.empty()) {
    std::string expected = step.record;
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (expected != r->record) wrong.push_back("record " + r->record + ", expected " + expected);
  }
  // A field holds its value when setting it would change nothing.
  for (const auto& [field, value] : step.fields) {
    UnitConfig set = response.config;
    std::string error;
    ApplyAssignment(field + "=" + value, &set, &error);
    if (set == response.config) continue;
    for (const RecordField& f : DescribeRecord(response.config)) {
      if (field == f.name) wrong.push_back(field + " is " + f.value + ", expected " + value);
    }
  }
  r->figure = "firmware " + std::string(response.firmware) + ", record " + r->record;
  if (wrong.empty()) return true;
  std::string text;
  for (const std::string& w : wrong) text += (text.empty() ? "" : "; ") + w;
  return Fail(r, text);
}

bool UnitRun::ExpectControls(const PlanStep& step, StepResult* r) {
  {
    std::lock_guard<std::mutex> hold(mutex);
    controlsPattern = step.controls;
    controlsMatched = false;
  }
  const Got got = WaitUntil(VtlLink::Now() + step.withinMs, [this] { return controlsMatched; });
  std::string last;
  {
    std::lock_guard<std::mutex> hold(mutex);
    controlsPattern.clear();
    last = lastControls;
  }
  if (got == Got::kDone) {
    r->figure = "controls " + last;
    return true;
  }
  return Ended(got, r,
               "no controls frame matched within " + std::to_string(step.withinMs) + " ms; " +
                   (last.empty() ? std::string("none came") : "the last was " + last));
}

bool UnitRun::ExpectPoll(const PlanStep& step, StepResult* r) {
  // Only a poll answered from now on counts, not the ACK of an earlier answer.
  uint64_t before;
  {
    std::lock_guard<std::mutex> hold(mutex);
    before = sendCount;
  }
  const Got got = WaitUntil(VtlLink::Now() + step.withinMs,
                            [&] { return lastAcknowledgedPoll > before; });
  if (got != Got::kDone) {
    return Ended(got, r,
                 "no poll answered and acknowledged within " + std::to_string(step.withinMs) +
                     " ms");
  }
  std::lock_guard<std::mutex> hold(mutex);
  r->answerMs.push_back(lastPollAnswerMs);
  r->figure = "poll answered with " + Trimmed(zvl.BitsText(BitSet::kIndications));
  return true;
}

void UnitRun::RunStep(const PlanStep& step, StepResult* r) {
  r->verdict = Verdict::kPass;
  ReadResponse response;
  bool passed = true;
  switch (step.kind) {
    case StepKind::kRead:
      passed = ReadRecord(step, r, &response) && CheckRead(step, response, r);
      break;
    case StepKind::kWriteFile:
      passed = WriteRecord(step, step.written, r);
      break;
    case StepKind::kWriteFields: {
      // As `vtl set` does: read, change the named fields, write.
      if (!ReadRecord(step, r, &response)) return;
      UnitConfig record = response.config;
      std::string error;
      for (const auto& [field, value] : step.fields) ApplyAssignment(field + "=" + value, &record, &error);
      passed = WriteRecord(step, record, r);
      break;
    }
    case StepKind::kDefault:
      passed = WriteRecord(step, DefaultConfig(), r);
      break;
    case StepKind::kTx:
      passed = AwaitAnswer(step, step.txOn ? kTxOnRequest : kTxOffRequest, kRequestLength, false,
                           step.txOn ? "Tx on request" : "Tx off request", r);
      if (passed) r->figure = step.txOn ? "Tx on" : "Tx off";
      break;
    case StepKind::kIndications: {
      std::lock_guard<std::mutex> hold(mutex);
      std::memcpy(zvl.indications, step.indications, sizeof zvl.indications);
      zvl.wideIndications = step.wideIndications;
      r->figure = "indications " + Trimmed(zvl.BitsText(BitSet::kIndications));
      break;
    }
    case StepKind::kExpectControls:
      passed = ExpectControls(step, r);
      break;
    case StepKind::kExpectPoll:
      passed = ExpectPoll(step, r);
      break;
    case StepKind::kWait: {
      const Got got = WaitUntil(VtlLink::Now() + step.waitMs, [] { return false; });
      if (got != Got::kDeadline) Ended(got, r, "");
      break;
    }
    case StepKind::kFaults:
      faults.Set(step.faults);
      r->figure = "faults: " + step.faults.Text();
      break;
  }
  if (passed && r->verdict == Verdict::kPass && step.maxAnswerMs != 0) {
    for (const uint32_t ms : r->answerMs) {
      if (ms <= step.maxAnswerMs) continue;
      Fail(r, "the unit answered in " + std::to_string(ms) + " ms, more than the " +
                  std::to_string(step.maxAnswerMs) + " ms allowed");
      break;
    }
  }
}

UnitResult UnitRun::Run() {
  result.port = port;
  const uint32_t start = VtlLink::Now();
  std::string reason;
  result.opened = link.Open(port, &reason);
  std::string skipWhy;  // set once the remaining steps are not run
  if (!result.opened) skipWhy = "the port could not be opened";
  for (const PlanStep& step : plan.steps) {
    StepResult r;
    r.number = step.number;
    r.name = step.name;
    if (!result.opened && step.number == 1) {
      r.verdict = Verdict::kError;
      r.reason = "cannot open " + port + ": " + reason;
    } else if (!skipWhy.empty() || StopRequested()) {
      if (StopRequested()) {
        result.interrupted = true;
        if (skipWhy.empty()) skipWhy = "interrupted";
      }
      r.verdict = Verdict::kSkip;
      r.reason = skipWhy;
    } else {
      const FaultCounts faultsBefore = faults.Counts();
      const uint32_t stepStart = VtlLink::Now();
      RunStep(step, &r);
      r.timeMs = VtlLink::Now() - stepStart;
      r.faults = faults.Counts().Since(faultsBefore);
      if (r.verdict == Verdict::kError) skipWhy = "the port was lost";
      if (r.verdict == Verdict::kSkip) skipWhy = "interrupted";
      if (r.verdict == Verdict::kFail && !plan.keepGoing) skipWhy = "an earlier step failed";
    }
    printer->Step(port, r);
    result.steps.push_back(r);
  }
  link.Close();
  result.timeMs = VtlLink::Now() - start;
  printer->Unit(result);
  return result;
}
}  // namespace

int RunTest(const Plan& plan, const TestOptions& options) {
  // The report file is tried before any port is opened, so a bad path costs no test.
  if (!options.junitFile.empty()) {
    const std::string temporary = options.junitFile + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (f == nullptr) {
      std::fprintf(stderr, "vtl test: cannot create %s: %s\n", temporary.c_str(),
                   LastSystemError().c_str());
      return 2;
    }
    std::fclose(f);
    std::remove(temporary.c_str());
  }
  CatchStopSignals();
  TestPrinter printer(options.json);
  std::vector<UnitResult> results(options.ports.size());
  {
    std::vector<std::thread> units;
    for (size_t i = 0; i < options.ports.size(); ++i) {
      units.emplace_back([&, i] { results[i] = UnitRun(plan, options.ports[i], &printer).Run(); });
    }
    for (std::thread& unit : units) unit.join();
  }
  bool anyOpened = false, allPassed = true;
  for (const UnitResult& u : results) {
    anyOpened = anyOpened || u.opened;
    allPassed = allPassed && u.Passed();
  }
  int status = !anyOpened ? 3 : allPassed ? 0 : 1;
  if (!options.junitFile.empty()) {
    std::string reason;
    if (!WriteWhole(options.junitFile, JUnitXml(plan.name, results), &reason)) {
      std::fprintf(stderr, "vtl test: the JUnit file: %s\n", reason.c_str());
      if (status == 0) status = 1;
    }
  }
  printer.End(results, status);
  return status;
}

void PrintPlan(const Plan& plan, bool json) {
  if (json) {
    JsonObject head;
    head.Add("event", "plan").Add("plan", plan.name).Add("file", plan.file);
    head.Add("timeout_ms", plan.timeoutMs).Add("keep_going", plan.keepGoing);
    head.Add("steps", static_cast<unsigned>(plan.steps.size()));
    std::printf("%s\n", head.Text().c_str());
    for (const PlanStep& s : plan.steps) {
      JsonObject o;
      o.Add("event", "plan-step").Add("step", s.number).Add("name", s.name);
      o.Add("timeout_ms", s.timeoutMs);
      std::printf("%s\n", o.Text().c_str());
    }
    return;
  }
  std::printf("plan %s (%s): %zu steps, answer window %u ms%s\n", plan.name.c_str(),
              plan.file.c_str(), plan.steps.size(), plan.timeoutMs,
              plan.keepGoing ? ", keep going after a failure" : "");
  for (const PlanStep& s : plan.steps) std::printf("%3d %s\n", s.number, s.name.c_str());
}
