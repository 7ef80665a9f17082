#include "tools/vtl/unit_session.h"

#include <algorithm>
#include <utility>

#include "tools/vtl/platform.h"

namespace {
bool IsAnswer(const ReceivedFrame& frame) {
  const uint8_t type = frame.length >= 2 ? frame.bytes[1] : 0;
  return type == '+' || type == '-' ||
         (frame.length >= 3 && type == '~' && frame.bytes[2] == 'r');
}

uint32_t Elapsed(uint32_t from, uint32_t to) {
  // An answer stamped a little before the send returned counts as immediate.
  return static_cast<uint32_t>(std::max<int32_t>(0, static_cast<int32_t>(to - from)));
}
}  // namespace

UnitSession::UnitSession(std::string port) : port(std::move(port)) {
  link.onAccepted = [this](const ReceivedFrame& frame) {
    if (IsAnswer(frame)) return true;
    if (onOtherFrame) onOtherFrame(frame);
    return false;
  };
}

// The reader thread calls back into this object, so it is stopped first.
UnitSession::~UnitSession() { link.Close(); }

bool UnitSession::Open(std::string* reason) { return link.Open(port, reason); }

void UnitSession::Close() { link.Close(); }

RequestOutcome UnitSession::PortLost(RequestOutcome outcome) {
  outcome.result = RequestResult::kPortLost;
  outcome.reason = link.LostReason();
  if (outcome.reason.empty()) outcome.reason = LastSystemError();
  return outcome;
}

ReadOutcome UnitSession::Read(uint32_t windowMs) {
  ReadOutcome read;
  static_cast<RequestOutcome&>(read) =
      Await(ConfigRequest::kRead, kReadRequest, kRequestLength, windowMs, &read);
  return read;
}

RequestOutcome UnitSession::Write(const UnitConfig& record, uint32_t windowMs) {
  const ConfigPacket packet = BuildConfigPacket(record);
  return Await(ConfigRequest::kWrite, packet.data(), packet.size(), windowMs, nullptr);
}

RequestOutcome UnitSession::Tx(bool on, uint32_t windowMs) {
  const ConfigRequest request = on ? ConfigRequest::kTxOn : ConfigRequest::kTxOff;
  return Await(request, RequestPayload(request), kRequestLength, windowMs, nullptr);
}

RequestOutcome UnitSession::Await(ConfigRequest request, const uint8_t* payload, size_t length,
                                  uint32_t windowMs, ReadOutcome* read) {
  RequestOutcome outcome;
  // A request whose window has passed is over: its answer, should it still come, must
  // not be taken for this one's.
  form = ConfigForm{};
  form.answerWindowMs = windowMs;
  outcome.sent = link.SendFrame(payload, static_cast<uint32_t>(length));
  if (!outcome.sent) return PortLost(outcome);
  const uint32_t sentTick = VtlLink::Now();
  switch (request) {
    case ConfigRequest::kWrite: form.WriteRequested(sentTick); break;
    case ConfigRequest::kRead: form.ReadRequested(sentTick); break;
    case ConfigRequest::kTxOn:
    case ConfigRequest::kTxOff: form.TxRequested(request, sentTick); break;
  }
  // A read is answered twice: its ACK within the window, then its response within the
  // window after the ACK.
  uint32_t deadline = sentTick + windowMs;
  ReceivedFrame frame;
  for (;;) {
    switch (link.NextFrame(deadline, &frame)) {
      case VtlLink::Next::kLost:
        return PortLost(outcome);
      case VtlLink::Next::kDeadline:
        outcome.result = RequestResult::kNoAnswer;
        return outcome;
      case VtlLink::Next::kFrame:
        break;
    }
    const ConfigForm::FrameOutcome answer = form.OnFrame(frame.bytes, frame.length, frame.tick);
    using Kind = ConfigForm::FrameKind;
    if (answer.kind == Kind::kAccepted || answer.kind == Kind::kRefused) {
      const auto& settled = answer.answered;
      if (std::find(settled.begin(), settled.end(), request) == settled.end()) continue;
      if (answer.kind == Kind::kRefused) {
        outcome.result = RequestResult::kRefused;
        outcome.answerMs = Elapsed(sentTick, frame.tick);
        return outcome;
      }
      if (request != ConfigRequest::kRead) {
        outcome.answerMs = Elapsed(sentTick, frame.tick);
        return outcome;
      }
      outcome.acknowledged = true;
      deadline = frame.tick + windowMs;
      continue;
    }
    // A read response is taken whether or not the read was acknowledged, as on the page.
    if (read == nullptr) continue;
    if (answer.kind == Kind::kInvalidResponse) {
      outcome.result = RequestResult::kInvalid;
      outcome.answerMs = Elapsed(sentTick, frame.tick);
      read->invalidLength = frame.length;
      return outcome;
    }
    if (answer.kind == Kind::kReadResponse) {
      outcome.answerMs = Elapsed(sentTick, frame.tick);
      read->record = answer.record;
      read->firmware = answer.firmware;
      read->dipSwitches = answer.dipSwitches;
      return outcome;
    }
  }
}
