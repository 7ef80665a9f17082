#include "config/config_form.h"

#include <cctype>
#include <cstring>

const char* const kBaudEntries[kBaudEntryCount] = {
    "300/1200", "600/1200", "1200/1200", "2400/2400", "4800/1200", "9600/1200",
};

uint32_t ParseNumber(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  uint64_t value = 0;
  bool anyDigit = false;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    anyDigit = true;
    value = value * 10 + static_cast<uint64_t>(text[at] - '0');
    if (value > UINT32_MAX) return 0;
  }
  return anyDigit ? static_cast<uint32_t>(value) : 0;
}

std::string ZvlIdPlusOneText(const std::string& zvlIdText) {
  // Counted in 64 bits, so the largest 32-bit number shows its true successor.
  return std::to_string(static_cast<uint64_t>(ParseNumber(zvlIdText)) + 1);
}

int BaudEntryForCode(uint8_t baudCode, int current) {
  const char* rate = BaudCodeToRate(baudCode);
  const size_t n = std::strlen(rate);
  for (int i = 0; i < kBaudEntryCount; ++i) {
    const char* entry = kBaudEntries[i];
    if (std::strlen(entry) < n) continue;
    bool same = true;
    for (size_t k = 0; k < n && same; ++k) {
      same = std::tolower(static_cast<unsigned char>(entry[k])) ==
             std::tolower(static_cast<unsigned char>(rate[k]));
    }
    if (same) return i;
  }
  return current;
}

uint8_t BaudCodeForEntry(int entry) {
  if (entry < 0 || entry >= kBaudEntryCount) return RateToBaudCode(0);
  return RateToBaudCode(ParseNumber(kBaudEntries[entry]));
}

namespace {
bool Has(uint8_t bits, uint8_t mask) { return (bits & mask) != 0; }

std::string Number(unsigned value) { return std::to_string(value); }

uint8_t ReadId(const std::string& text, bool used) {
  uint32_t id = ParseNumber(text);
  if (id > kIdMask) id = kIdMask;
  return static_cast<uint8_t>(id | (used ? 0 : kIdUnused));
}
}  // namespace

ZvlEnabling ZvlControlsEnabled(bool zvlUsed, bool splitZvl) {
  ZvlEnabling live;
  live.id = live.split = zvlUsed;
  live.plusOne = zvlUsed && splitZvl;
  return live;
}

ConfigControls ShowConfig(const UnitConfig& config, int currentBaudEntry) {
  ConfigControls c;
  c.protocol32 = Has(config.options, kZvl32Bits);
  c.rxEqualisation = Has(config.options, kRxAudioEqualisation);
  c.v22TxHighRxLow = Has(config.options, kV22TxHighRxLow);
  c.noCtrlByte = Has(config.options, kNoCtrlByte);
  c.nrz = Has(config.options, kNrz);
  c.useAvail = Has(config.options, kUseAvailEc5);
  c.dontBufferControls = Has(config.options, kDontBufferControls);

  // The edits show the ID whether or not it is used.
  c.ioId = Number(config.ioId & kIdMask);
  c.ioUsed = c.ioIdEnabled = !Has(config.ioId, kIdUnused);
  c.adcsId = Number(config.adcsId & kIdMask);
  c.adcsUsed = c.adcsIdEnabled = !Has(config.adcsId, kIdUnused);

  c.zvlId = Number(config.zvlId & kIdMask);
  c.zvlUsed = !Has(config.zvlId, kIdUnused);
  c.splitZvl = Has(config.zvlId, kZvlSplit);
  const ZvlEnabling live = ZvlControlsEnabled(c.zvlUsed, c.splitZvl);
  c.zvlIdEnabled = live.id;
  c.splitZvlEnabled = live.split;
  c.zvlIdPlusOneEnabled = live.plusOne;
  c.zvlIdPlusOne = ZvlIdPlusOneText(c.zvlId);

  c.baudEntry = BaudEntryForCode(config.baudCode, currentBaudEntry);
  c.preambleMs = Number(UnitsToMs(config.preamble));
  c.postambleMs = Number(UnitsToMs(config.postamble));
  return c;
}

UnitConfig ReadControls(const ConfigControls& c) {
  UnitConfig config{};
  config.options = static_cast<uint8_t>(
      (c.rxEqualisation ? kRxAudioEqualisation : 0) | (c.v22TxHighRxLow ? kV22TxHighRxLow : 0) |
      (c.noCtrlByte ? kNoCtrlByte : 0) | (c.nrz ? kNrz : 0) | (c.protocol32 ? kZvl32Bits : 0) |
      (c.useAvail ? kUseAvailEc5 : 0) | (c.dontBufferControls ? kDontBufferControls : 0));
  config.ioId = ReadId(c.ioId, c.ioUsed);
  config.adcsId = ReadId(c.adcsId, c.adcsUsed);
  // "Split ZVL" counts even while it is disabled.
  config.zvlId = static_cast<uint8_t>(ReadId(c.zvlId, c.zvlUsed) | (c.splitZvl ? kZvlSplit : 0));
  config.baudCode = BaudCodeForEntry(c.baudEntry);
  config.preamble = MsToUnits(ParseNumber(c.preambleMs));
  config.postamble = MsToUnits(ParseNumber(c.postambleMs));
  return config;
}

std::string DebugBoxText(const ConfigPacket& packet) {
  return "Sent Config packet\n" +
         std::string(reinterpret_cast<const char*>(packet.data()), packet.size() - 1);
}

static_assert(sizeof kRequests / sizeof kRequests[0] ==
                  static_cast<size_t>(ConfigRequest::kTxOff) + 1,
              "one row for each request");

namespace {
const RequestTexts& TextsOf(ConfigRequest request) {
  return kRequests[static_cast<size_t>(request)];
}
}  // namespace

const uint8_t* RequestPayload(ConfigRequest request) { return TextsOf(request).payload; }
const char* RefusedStatus(ConfigRequest request) { return TextsOf(request).refused; }

SendOutcome AfterSend(ConfigRequest request, bool sent, bool ctrlDown) {
  SendOutcome outcome;
  if (sent) {
    outcome.status = TextsOf(request).sentStatus;
  } else {
    outcome.failure = TextsOf(request).notSent;
  }
  outcome.debugBox = request == ConfigRequest::kWrite && sent && ctrlDown;
  return outcome;
}

bool AnsweredInTime(uint32_t requestTick, uint32_t answerTick, uint32_t windowMs) {
  const int32_t elapsed = static_cast<int32_t>(answerTick - requestTick);
  return elapsed < static_cast<int32_t>(windowMs);
}

void ConfigForm::WriteRequested(uint32_t tick) {
  writePending = true;
  requestTime = tick;
  txPending = false;
}

void ConfigForm::ReadRequested(uint32_t tick) {
  readPending = true;
  requestTime = tick;
  txPending = false;
}

void ConfigForm::TxRequested(ConfigRequest request, uint32_t tick) {
  txPending = true;
  txRequest = request;
  txRequestTime = tick;
}

ConfigForm::FrameOutcome ConfigForm::OnFrame(const uint8_t* frame, uint8_t length,
                                             uint32_t receivedTick) {
  FrameOutcome outcome;
  if (length < 2) return outcome;
  const uint8_t type = frame[1];
  if (type == '+' || type == '-') {
    const bool accepted = type == '+';
    outcome.kind = accepted ? FrameKind::kAccepted : FrameKind::kRefused;
    // The answer's tick is taken by the reader thread as it arrives, the request's on
    // this thread once the send has returned (the "Tx: " log line included), so a quick
    // unit's answer can carry a tick from just before the request's. It still answers
    // that request: an answer stamped before it counts as immediate.
    const bool inTime = AnsweredInTime(requestTime, receivedTick, answerWindowMs);
    const auto answer = [&](ConfigRequest request) {
      outcome.answered.push_back(request);
      // A '+' to a read says nothing yet: the read response follows it. A '+' to a Tx
      // leaves its "Tx on"/"Tx off" standing.
      if (!accepted) {
        outcome.statuses.push_back(TextsOf(request).refused);
      } else if (request == ConfigRequest::kWrite) {
        outcome.statuses.push_back(kWriteSuccessfulStatus);
      }
    };
    if (writePending || readPending) {
      if (writePending && inTime) answer(ConfigRequest::kWrite);
      if (readPending && inTime) answer(ConfigRequest::kRead);
      writePending = readPending = false;
    } else if (txPending) {
      txPending = false;
      if (AnsweredInTime(txRequestTime, receivedTick, answerWindowMs)) answer(txRequest);
    }
    return outcome;
  }
  ReadResponse response;
  switch (DecodeReadResponse(frame, length, &response)) {
    case ReadResponseStatus::kNotReadResponse:
      break;
    case ReadResponseStatus::kInvalid:
      outcome.kind = FrameKind::kInvalidResponse;
      outcome.statuses.push_back(response.statusText);
      break;
    case ReadResponseStatus::kValid:
      outcome.kind = FrameKind::kReadResponse;
      outcome.record = response.config;
      outcome.firmware = response.firmware;
      outcome.dipSwitches = DipSwitches(response);
      outcome.statuses.push_back(response.statusText);
      outcome.showDaughterBoard = true;
      outcome.daughterBoard = response.daughterBoardText;
      config = response.config;
      outcome.showConfig = true;
      break;
  }
  return outcome;
}
