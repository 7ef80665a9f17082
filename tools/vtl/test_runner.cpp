#include "tools/vtl/test_runner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "comms/comms_state.h"
#include "config/config_form.h"
#include "platform/utf8.h"
#include "tools/vtl/json_writer.h"
#include "tools/vtl/platform.h"
#include "tools/vtl/record_text.h"
#include "tools/vtl/test_report.h"
#include "tools/vtl/unit_session.h"

namespace {
// How often a wait looks at Ctrl-C and at the port's loss.
constexpr uint32_t kStopCheckMs = 20;

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

// One unit's test: its session, and the ZVL side answered as "Respond to messages"
// does.
//
// Threads: the unit's thread runs the steps and the session's requests; the link's
// reader thread answers the unit's controls and polls (OnOtherFrame) and claims the
// unit's ACKs of those answers (ClaimAnswer). `zvl`, `lastControls`, `controlsPattern`,
// `controlsMatched` and the sequence numbers are guarded by `mutex`; the reader never
// waits for the unit's thread, only for the mutex, and sends outside it.
class UnitRun {
 public:
  UnitRun(const Plan& plan, std::string port, TestPrinter* printer)
      : plan(plan), port(port), printer(printer), session(this->port) {
    zvl.respond = true;
    session.Link().respond = true;
    session.Link().faults = &faults;
    session.onOtherFrame = [this](const ReceivedFrame& frame) { OnOtherFrame(frame); };
    session.claimAnswer = [this](const ReceivedFrame& frame) { return ClaimAnswer(frame); };
  }

  UnitResult Run();

 private:
  enum class Got { kDone, kDeadline, kLost, kStopped };

  void OnOtherFrame(const ReceivedFrame& frame);
  bool ClaimAnswer(const ReceivedFrame& frame);
  void RunStep(const PlanStep& step, StepResult* r);
  // Notes where the step ended: the expect steps that follow count what came after it,
  // also while the step's line was being printed.
  void MarkStepEnd();

  // Waits until `done` holds (checked under the mutex), the tick `deadline`, the port's
  // loss or Ctrl-C.
  template <typename Done>
  Got WaitUntil(uint32_t deadline, Done done);

  // The session's requests, marked as outstanding while they wait for their answer.
  template <typename Request>
  auto Ask(Request request) {
    {
      std::lock_guard<std::mutex> hold(mutex);
      requestSeq = ++sendCount;
    }
    auto outcome = request();
    std::lock_guard<std::mutex> hold(mutex);
    requestSeq = 0;
    return outcome;
  }
  // What came of a request: true when it was answered with an ACK (a read: its response).
  bool Settled(const RequestOutcome& outcome, const std::string& what, const PlanStep& step,
               StepResult* r);
  bool Read(const PlanStep& step, StepResult* r, ReadOutcome* read);
  bool WriteRecord(const PlanStep& step, const UnitConfig& record, StepResult* r);
  bool CheckRead(const PlanStep& step, const ReadOutcome& read, StepResult* r);
  bool ExpectControls(const PlanStep& step, StepResult* r);
  bool ExpectPoll(const PlanStep& step, StepResult* r);

  bool Fail(StepResult* r, const std::string& reason) {
    r->verdict = Verdict::kFail;
    r->reason = reason;
    return false;
  }
  bool Lost(StepResult* r, const std::string& reason) {
    r->verdict = Verdict::kError;
    r->reason = "the port " + port + " was lost: " + reason;
    return false;
  }
  // A wait that ended without what it waited for.
  bool Ended(Got got, StepResult* r, const std::string& notSeen);

  const Plan& plan;
  const std::string port;
  TestPrinter* const printer;
  FaultInjector faults;
  UnitResult result;

  std::mutex mutex;
  std::condition_variable changed;
  CommsState zvl;
  std::string lastControls;
  std::string controlsPattern;  // empty while no step expects controls
  bool controlsMatched = false;
  uint64_t controlsFrames = 0, controlsFramesAtStepEnd = 0;
  // The unit answers in order, so an ACK or NAK belongs to the earlier of the request
  // and the poll answer outstanding. Sequence numbers count every send; 0 is none.
  uint64_t sendCount = 0;
  uint64_t requestSeq = 0, pollAnswerSeq = 0;
  uint32_t pollAnswerTick = 0;        // when the outstanding poll answer's send returned
  uint64_t lastAcknowledgedPoll = 0;  // the sequence number of the last poll answer ACKed
  uint32_t lastPollAnswerMs = 0;
  uint64_t sendCountAtStepEnd = 0;
  // Last, so that its reader thread, which uses everything above, ends first.
  UnitSession session;
};

void UnitRun::OnOtherFrame(const ReceivedFrame& frame) {
  std::unique_lock<std::mutex> hold(mutex);
  switch (zvl.Receive(frame.bytes, frame.length)) {
    case FrameEffect::kShowControls:
      lastControls = Trimmed(zvl.BitsText(BitSet::kControls));
      ++controlsFrames;
      if (!controlsPattern.empty() && ControlsMatch(controlsPattern, lastControls)) {
        controlsMatched = true;
        changed.notify_all();
      }
      break;
    case FrameEffect::kSendIndications: {
      uint8_t payload[CommsState::kMaxPayload];
      const unsigned n = zvl.IndicationsPayload(payload);
      const uint64_t seq = ++sendCount;
      hold.unlock();  // a delay the faults hold the answer back by must not hold the unit's thread
      const FaultInjector::Sent sent = faults.SendIndications(&session.Link(), payload, n);
      const uint32_t tick = VtlLink::Now();
      hold.lock();
      if (sent == FaultInjector::Sent::kSent) {
        pollAnswerSeq = seq;
        pollAnswerTick = tick;
      }
      break;
    }
    case FrameEffect::kShowIndications:
    case FrameEffect::kNone:
      break;
  }
}

bool UnitRun::ClaimAnswer(const ReceivedFrame& frame) {
  std::lock_guard<std::mutex> hold(mutex);
  if (pollAnswerSeq == 0) return false;
  const bool inTime = AnsweredInTime(pollAnswerTick, frame.tick, plan.timeoutMs);
  if (!inTime || (requestSeq != 0 && requestSeq < pollAnswerSeq)) {
    if (!inTime) pollAnswerSeq = 0;  // long overdue: this ACK is not its
    return false;
  }
  if (frame.bytes[1] == '+') {
    lastAcknowledgedPoll = pollAnswerSeq;
    lastPollAnswerMs = static_cast<uint32_t>(std::max<int32_t>(0, static_cast<int32_t>(frame.tick - pollAnswerTick)));
  }
  pollAnswerSeq = 0;
  changed.notify_all();
  return true;
}

void UnitRun::MarkStepEnd() {
  std::lock_guard<std::mutex> hold(mutex);
  sendCountAtStepEnd = sendCount;
  controlsFramesAtStepEnd = controlsFrames;
}

template <typename Done>
UnitRun::Got UnitRun::WaitUntil(uint32_t deadline, Done done) {
  std::unique_lock<std::mutex> hold(mutex);
  for (;;) {
    if (done()) return Got::kDone;
    if (StopRequested()) return Got::kStopped;
    if (session.Link().Lost()) return Got::kLost;
    const uint32_t now = VtlLink::Now();
    if (!Before(now, deadline)) return Got::kDeadline;
    const uint32_t left = deadline - now;
    changed.wait_for(hold, std::chrono::milliseconds(left < kStopCheckMs ? left : kStopCheckMs));
  }
}

bool UnitRun::Ended(Got got, StepResult* r, const std::string& notSeen) {
  switch (got) {
    case Got::kStopped:
      r->verdict = Verdict::kSkip;
      r->reason = "interrupted";
      result.interrupted = true;
      return false;
    case Got::kLost:
      return Lost(r, session.Link().LostReason());
    case Got::kDeadline:
      return Fail(r, notSeen);
    case Got::kDone:
      break;
  }
  return true;
}

bool UnitRun::Settled(const RequestOutcome& outcome, const std::string& what,
                      const PlanStep& step, StepResult* r) {
  if (outcome.answerMs != 0 || outcome.result == RequestResult::kOk ||
      outcome.result == RequestResult::kRefused) {
    r->answerMs.push_back(outcome.answerMs);
  }
  const std::string window = " within the " + std::to_string(step.timeoutMs) + " ms window";
  switch (outcome.result) {
    case RequestResult::kOk: return true;
    case RequestResult::kRefused: return Fail(r, "the unit refused the " + what + " (NAK)");
    case RequestResult::kNoAnswer:
      return Fail(r, outcome.acknowledged
                         ? "the unit acknowledged the " + what + " but sent no read response" + window
                         : "no answer to the " + what + window);
    case RequestResult::kInvalid: return Fail(r, kInvalidConfigurationText);
    case RequestResult::kPortLost: return Lost(r, outcome.reason);
  }
  return false;
}

bool UnitRun::Read(const PlanStep& step, StepResult* r, ReadOutcome* read) {
  *read = Ask([&] { return session.Read(step.timeoutMs); });
  if (!Settled(*read, "read request", step, r)) {
    if (read->result == RequestResult::kRefused) r->reason = RefusedStatus(ConfigRequest::kRead);
    if (read->result == RequestResult::kInvalid) {
      r->reason += " (a read response of " + std::to_string(read->invalidLength) +
                   " bytes; it must be 24)";
    }
    return false;
  }
  r->firmware = result.firmware = read->firmware;
  r->dipSwitches = result.dipSwitches = read->dipSwitches;
  r->record = result.record = RecordHex(read->record, false);
  return true;
}

bool UnitRun::WriteRecord(const PlanStep& step, const UnitConfig& record, StepResult* r) {
  const RequestOutcome wrote = Ask([&] { return session.Write(record, step.timeoutMs); });
  if (!Settled(wrote, "configuration write", step, r)) {
    if (wrote.result == RequestResult::kRefused) r->reason = RefusedStatus(ConfigRequest::kWrite);
    return false;
  }
  r->figure = std::string(kWriteSuccessfulStatus) + ", record " + RecordHex(record, false);
  if (!step.verify) return true;
  ReadOutcome read;
  if (!Read(step, r, &read)) {
    if (r->verdict == Verdict::kFail) r->reason = "the write was taken, but its verify: " + r->reason;
    return false;
  }
  const std::vector<std::string> differences = RecordDifferences(record, read.record);
  if (!differences.empty()) {
    std::string text = "verify found differences:";
    for (const std::string& d : differences) text += " " + d + ";";
    text.pop_back();
    return Fail(r, text);
  }
  r->figure += ", verified";
  return true;
}

bool UnitRun::CheckRead(const PlanStep& step, const ReadOutcome& read, StepResult* r) {
  std::vector<std::string> wrong;
  if (!step.firmware.empty() && step.firmware != read.firmware) {
    wrong.push_back("firmware " + read.firmware + ", expected " + step.firmware);
  }
  // Both are "D.D", so their texts compare as the versions do.
  if (!step.firmwareMin.empty() && read.firmware < step.firmwareMin) {
    wrong.push_back("firmware " + read.firmware + ", expected " + step.firmwareMin + " or later");
  }
  if (!step.dipSwitches.empty() && step.dipSwitches != read.dipSwitches) {
    wrong.push_back("dip switches \"" + read.dipSwitches + "\", expected \"" + step.dipSwitches + "\"");
  }
  if (!step.record.empty()) {
    std::string expected = step.record;
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (expected != r->record) wrong.push_back("record " + r->record + ", expected " + expected);
  }
  for (const auto& [field, value] : step.fields) {
    std::string actual, error;
    if (CheckField(field, value, read.record, &actual, &error) != FieldCheck::kHolds) {
      wrong.push_back(field + " is " + actual + ", expected " + value);
    }
  }
  r->figure = "firmware " + read.firmware + ", record " + r->record;
  if (wrong.empty()) return true;
  std::string text;
  for (const std::string& w : wrong) text += (text.empty() ? "" : "; ") + w;
  return Fail(r, text);
}

bool UnitRun::ExpectControls(const PlanStep& step, StepResult* r) {
  {
    std::lock_guard<std::mutex> hold(mutex);
    controlsPattern = step.controls;
    controlsMatched = controlsFrames != controlsFramesAtStepEnd &&
                      ControlsMatch(controlsPattern, lastControls);
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
  // Only a poll answered since the last step ended counts, not the ACK of an earlier one.
  uint64_t before;
  {
    std::lock_guard<std::mutex> hold(mutex);
    before = sendCountAtStepEnd;
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
  ReadOutcome read;
  bool passed = true;
  switch (step.kind) {
    case StepKind::kRead:
      passed = Read(step, r, &read) && CheckRead(step, read, r);
      break;
    case StepKind::kWriteFile:
      passed = WriteRecord(step, step.written, r);
      break;
    case StepKind::kWriteFields: {
      // As `vtl set` does: read, change the named fields, write.
      if (!Read(step, r, &read)) return;
      UnitConfig record = read.record;
      std::string error;
      for (const auto& [field, value] : step.fields) SetField(field, value, &record, &error);
      passed = WriteRecord(step, record, r);
      break;
    }
    case StepKind::kDefault:
      passed = WriteRecord(step, DefaultConfig(), r);
      break;
    case StepKind::kTx: {
      const RequestOutcome tx = Ask([&] { return session.Tx(step.txOn, step.timeoutMs); });
      passed = Settled(tx, step.txOn ? "Tx on request" : "Tx off request", step, r);
      if (passed) r->figure = step.txOn ? "Tx on" : "Tx off";
      break;
    }
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
  // A request given up on Ctrl-C shows as interrupted, not as the unit's silence.
  if (r->verdict == Verdict::kFail && StopRequested()) Ended(Got::kStopped, r, "");
}

UnitResult UnitRun::Run() {
  result.port = port;
  const uint32_t start = VtlLink::Now();
  std::string reason;
  result.opened = session.Open(&reason);
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
      MarkStepEnd();
      r.timeMs = VtlLink::Now() - stepStart;
      r.faults = faults.Counts().Since(faultsBefore);
      if (r.verdict == Verdict::kError) skipWhy = "the port was lost";
      if (r.verdict == Verdict::kSkip) skipWhy = "interrupted";
      if (r.verdict == Verdict::kFail && !plan.keepGoing) skipWhy = "an earlier step failed";
    }
    printer->Step(port, r);
    result.steps.push_back(r);
  }
  session.Close();
  result.timeMs = VtlLink::Now() - start;
  printer->Unit(result);
  return result;
}
}  // namespace

int RunTest(const Plan& plan, const TestOptions& options) {
  // The report file is tried before any port is opened, so a bad path costs no test.
  if (!options.junitFile.empty()) {
    const std::string temporary = options.junitFile + ".tmp";
    FILE* f = OpenFile(temporary, "wb");
    if (f == nullptr) {
      std::fprintf(stderr, "vtl test: cannot create %s: %s\n", temporary.c_str(),
                   LastSystemError().c_str());
      return 2;
    }
    std::fclose(f);
    RemoveFile(temporary);
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
