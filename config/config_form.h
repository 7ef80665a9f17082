#pragma once
// The "K4 Config" page without windows: how a record is shown on the page's controls,
// how the controls are read back into a record, and how the unit's answers to the
// page's requests turn into status texts. The Win32 page applies these results to its
// controls; everything here is testable with values alone.
#include <cstdint>
#include <string>
#include <vector>

#include "config/unit_config.h"

// The baud list's entries, in list order; each names the async and the sync rate.
constexpr int kBaudEntryCount = 6;
extern const char* const kBaudEntries[kBaudEntryCount];
constexpr int kNoBaudEntry = -1;

// What the page's controls hold, as far as the record is concerned.
struct ConfigControls {
  bool protocol32 = false;  // "32 bits" checked, else "64 bits"
  bool rxEqualisation = false;
  bool v22TxHighRxLow = false;
  bool noCtrlByte = false;
  bool nrz = false;
  bool useAvail = false;
  bool dontBufferControls = false;

  bool ioUsed = false;
  bool zvlUsed = false;
  bool adcsUsed = false;
  bool splitZvl = false;
  bool ioIdEnabled = false;
  bool zvlIdEnabled = false;
  bool splitZvlEnabled = false;
  bool zvlIdPlusOneEnabled = false;
  bool adcsIdEnabled = false;

  // Texts of the number edits.
  std::string ioId, zvlId, zvlIdPlusOne, adcsId, preambleMs, postambleMs;

  int baudEntry = kNoBaudEntry;  // index into kBaudEntries, or kNoBaudEntry
};

// An edit's text as an unsigned 32-bit number: leading blanks skipped, digits read up
// to the first other character; empty text, text without leading digits and numbers
// too large for 32 bits read as 0.
uint32_t ParseNumber(const std::string& text);

// The text of the read-only box beside the ZVL ID: the ID typed plus one.
std::string ZvlIdPlusOneText(const std::string& zvlIdText);

// The first entry whose text begins with the code's rate text (case-blind), or
// `current` when none does (the selection stays as it was).
int BaudEntryForCode(uint8_t baudCode, int current);
// The code of an entry, from its leading number; no entry reads as 1200 (code 13).
uint8_t BaudCodeForEntry(int entry);

// Which of the ZVL controls are live: the ID edit and "Split ZVL" while "ZVL" is
// checked, the box beside the ID while "Split ZVL" is checked too. Both the record's
// showing and the clicks on the two boxes apply it.
struct ZvlEnabling {
  bool id = false;
  bool split = false;
  bool plusOne = false;
};
ZvlEnabling ZvlControlsEnabled(bool zvlUsed, bool splitZvl);

// The controls that show `config`. `currentBaudEntry` is kept when no entry fits.
ConfigControls ShowConfig(const UnitConfig& config, int currentBaudEntry);

// The record the controls describe: IDs limited to 63, times converted to steps.
UnitConfig ReadControls(const ConfigControls& controls);

// Whether an answer stamped `answerTick` came within `windowMs` of a request stamped
// `requestTick`. Ticks wrap at 2^32 ms; an answer stamped a little before its request
// (two threads read the clock separately) counts as immediate.
bool AnsweredInTime(uint32_t requestTick, uint32_t answerTick, uint32_t windowMs);

// The status line's texts beside the requests' own (below). A read response brings its
// own too (unit_config.h).
inline constexpr char kStatusCleared[] = "";
inline constexpr char kDefaultsStatus[] = "Set to defaults";
inline constexpr char kWriteSuccessfulStatus[] = "Write command successful";

// The page's requests to the unit.
enum class ConfigRequest { kWrite, kRead, kTxOn, kTxOff };

// What each request sends and shows, in ConfigRequest's order: the payload of a
// two-character request (Write's packet is built from the record), the status line's
// text once it is sent (null: the line is left alone), the error box's text when the
// line did not take it, and the status line's text when the unit refuses it (NAK).
struct RequestTexts {
  const uint8_t* payload;
  const char* sentStatus;
  const char* notSent;
  const char* refused;
};
inline constexpr RequestTexts kRequests[] = {
    {nullptr, nullptr, "Failed to send configuration packet", "Write command rejected"},
    {kReadRequest, kStatusCleared, "Failed to send read request packet",
     "Read command rejected"},
    {kTxOnRequest, "Tx on", "Failed to send 'Tx on' request packet", "Tx on command rejected"},
    {kTxOffRequest, "Tx off", "Failed to send 'Tx off' request packet",
     "Tx off command rejected"},
};
const uint8_t* RequestPayload(ConfigRequest request);
const char* RefusedStatus(ConfigRequest request);

// What the page shows once a request's send has returned: a failed send is boxed and
// leaves the status line alone; a sent one shows its status, and a sent Write (whose
// status line was cleared before the packet went out) the debug box while Ctrl is held.
struct SendOutcome {
  const char* status = nullptr;   // the status line's new text, or null to leave it
  const char* failure = nullptr;  // the error box's text, or null
  bool debugBox = false;
};
SendOutcome AfterSend(ConfigRequest request, bool sent, bool ctrlDown);

// The debug box: its caption, and its text, "Sent Config packet", a line break and the
// payload without its last digit, as the unit's engineers are used to seeing it.
inline constexpr char kDebugBoxCaption[] = "VTL_K4ZVL debug";
std::string DebugBoxText(const ConfigPacket& packet);

// The page's record and its outstanding requests.
//
// Write and Read each mark their request as pending and note the tick count; the next
// '+' or '-' frame clears both marks and, for each request answered within 1000 ms of
// the latest one, says what the unit answered. Tick counts wrap at 2^32 ms; elapsed
// time is their 32-bit difference, so the window holds across the wrap, and an answer
// stamped a little before the request's tick (the two threads read the clock
// separately) counts as immediate.
//
// Tx on and Tx off leave those marks alone and keep a mark of their own, so that a
// refusal does not go on reading as done: an answer that no Write or Read takes
// settles the latest Tx request, and a NAK within the window of that request's own
// tick replaces its "Tx on"/"Tx off" with the refusal. A Write or Read sent after it
// drops the Tx's mark: the next answer is theirs, and the one after it is not the Tx's.
struct ConfigForm {
  static constexpr uint32_t kAnswerWindowMs = 1000;

  UnitConfig config{};
  uint32_t answerWindowMs = kAnswerWindowMs;  // the command-line tool lets the user set it
  bool writePending = false;
  bool readPending = false;
  uint32_t requestTime = 0;
  bool txPending = false;
  ConfigRequest txRequest = ConfigRequest::kTxOn;
  uint32_t txRequestTime = 0;

  void WriteRequested(uint32_t tick);
  void ReadRequested(uint32_t tick);
  // Call only once a Tx on or Tx off request went out: a request never sent is never
  // answered.
  void TxRequested(ConfigRequest request, uint32_t tick);

  // What a received frame was to the page's requests.
  enum class FrameKind {
    kOther,            // not an answer; nothing changes
    kAccepted,         // '+'
    kRefused,          // '-'
    kReadResponse,     // a valid read response
    kInvalidResponse,  // a read response of the wrong length
  };

  // What a received frame changes. For the command-line tool: its kind, the requests an
  // ACK or NAK settled within their window (Write, Read, then Tx; none when it came
  // late or nothing was pending), and a valid read response's contents. For the page:
  // the status texts to show in order (the last one stays visible), the daughter-board
  // text and whether the record (already in `config`) is to be shown.
  struct FrameOutcome {
    FrameKind kind = FrameKind::kOther;
    std::vector<ConfigRequest> answered;
    UnitConfig record{};
    std::string firmware;     // "1.3"
    std::string dipSwitches;  // the daughter-board line after its label: "1 on, 2 on, ..."

    std::vector<std::string> statuses;
    bool showDaughterBoard = false;
    std::string daughterBoard;
    bool showConfig = false;
  };
  FrameOutcome OnFrame(const uint8_t* frame, uint8_t length, uint32_t receivedTick);
};
