#pragma once
// One unit on one serial port, driven by a program: typed requests (read the record,
// write a record or the defaults, Tx on, Tx off), each sent, then answered or not
// within the window given with it, and returning what came of it and how long the unit
// took. The unit's answers are judged by the page's own rules (config/config_form.h):
// the same pending marks, the same window, the same read-response decoding.
//
// Answer time: from the tick taken when the request's send returned (its last byte
// handed to the system) to the tick the reader thread stamped on the answer's last
// byte, its carriage return. For a read the answer is the read response. On a port
// whose driver buffers writes the request's own time on the wire (some 4.2 ms a byte
// at 2400 baud 8N1) is part of it.
//
// Threads: a session's requests block the thread that calls them, one request at a
// time; its reader thread is its own. Sessions share nothing (no globals), so several
// sessions on several ports may run on several threads at once.
//
// Frames that answer no request (controls, indications, polls) go to `onOtherFrame` on
// the reader thread as they arrive, while a request waits or not; ACKs, NAKs and read
// responses are kept for the requests. `Link()` gives the link itself for what the
// requests do not cover: observers of every line (set before Open), sending other
// frames (an answer to a poll), and whether controls and indications are answered.
#include <cstdint>
#include <functional>
#include <string>

#include "config/config_form.h"
#include "config/unit_config.h"
#include "tools/vtl/vtl_link.h"

enum class RequestResult {
  kOk,        // ACK (a read: the read response)
  kRefused,   // NAK within the window
  kNoAnswer,  // nothing within the window
  kInvalid,   // a read response of the wrong length
  kPortLost,  // the send failed or the device went away; `reason` says why
};

struct RequestOutcome {
  RequestResult result = RequestResult::kOk;
  bool sent = false;          // false: the request never went out (kPortLost)
  bool acknowledged = false;  // a read: the unit ACKed it (the response may still be missing)
  uint32_t answerMs = 0;      // the answer time; 0 when there was no answer
  std::string reason;         // kPortLost: the system's words
};

struct ReadOutcome : RequestOutcome {
  UnitConfig record{};      // kOk: the record read
  std::string firmware;     // kOk: "1.3"
  std::string dipSwitches;  // kOk: as the page shows it after "Dip Switch: "
  uint8_t invalidLength = 0;  // kInvalid: the length of the response's frame
};

class UnitSession {
 public:
  explicit UnitSession(std::string port);
  ~UnitSession();
  UnitSession(const UnitSession&) = delete;
  UnitSession& operator=(const UnitSession&) = delete;

  // Opens the port at 2400 baud 8N1; on failure *reason says why in the system's words.
  bool Open(std::string* reason);
  void Close();
  const std::string& Port() const { return port; }

  ReadOutcome Read(uint32_t windowMs);
  RequestOutcome Write(const UnitConfig& record, uint32_t windowMs);
  RequestOutcome WriteDefaults(uint32_t windowMs) { return Write(DefaultConfig(), windowMs); }
  RequestOutcome Tx(bool on, uint32_t windowMs);

  // Reader thread: each accepted frame that is not an ACK, a NAK or a read response.
  // Set before Open.
  std::function<void(const ReceivedFrame& frame)> onOtherFrame;

  VtlLink& Link() { return link; }

 private:
  // Sends the payload as `request`, marking it on the form, then takes frames until the
  // request is settled or the deadline passes.
  RequestOutcome Await(ConfigRequest request, const uint8_t* payload, size_t length,
                       uint32_t windowMs, ReadOutcome* read);
  RequestOutcome PortLost(RequestOutcome outcome);

  const std::string port;
  VtlLink link;
  ConfigForm form;  // the request thread's only
};
