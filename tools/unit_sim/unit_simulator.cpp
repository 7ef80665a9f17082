#include "tools/unit_sim/unit_simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "comms/comms_state.h"
#include "config/config_file.h"
#include "link/bit_text.h"
#include "link/frame_format.h"
#include "link/quoted_bytes.h"
#include "platform/system.h"
#include "platform/utf8.h"
#include "tools/unit_sim/sim_line.h"

namespace {
UnitSimulator::Bytes Ack() { return {kAckFrame, kAckFrame + sizeof kAckFrame}; }
UnitSimulator::Bytes Nak() { return {kNakFrame, kNakFrame + sizeof kNakFrame}; }
}  // namespace

std::string WhyConfigFileFailed(const std::string& path, ConfigFileError error) {
  if (error == ConfigFileError::kWrongSize) return WrongSizeReason(path.c_str());
  // Asked again through the C library, which names the reason on every platform.
  errno = 0;
  std::FILE* file = OpenFile(path, "rb");
  const int reason = errno;
  if (file) std::fclose(file);
  return reason ? std::strerror(reason) : "it could not be read";
}

std::string TimeStamp() { return TimeOfDay(); }

UnitSimulator::UnitSimulator(const SimOptions& options, Output output)
    : options(options), output(std::move(output)), config(DefaultConfig()) {}

UnitSimulator::~UnitSimulator() { Stop(); }

void UnitSimulator::Emit(const std::string& text) {
  if (!output) return;
  // A flood makes a line per frame, thousands a second: --quiet keeps the rest.
  if (options.quiet && (text.compare(0, 3, "rx ") == 0 || text.compare(0, 3, "tx ") == 0)) return;
  std::lock_guard<std::mutex> hold(outputMutex);
  output(TimeStamp() + " " + text);
}

bool UnitSimulator::Start(std::string* error) {
  if (started) return true;
  uint32_t seed = options.seed;
  if (seed == 0) seed = static_cast<uint32_t>(Clock::now().time_since_epoch().count()) | 1u;
  random.seed(seed);

  if (!options.configFile.empty()) {
    const ConfigFileError loaded = LoadConfigFile(options.configFile.c_str(), &config);
    if (loaded != ConfigFileError::kNone) {
      *error = std::string(ConfigFileMessage(loaded)) + ": " + options.configFile + " (" +
               WhyConfigFileFailed(options.configFile, loaded) + ")";
      return false;
    }
  }

  {
    std::lock_guard<std::mutex> hold(mutex);  // the line's reader looks at it from Open on
    stopping = false;
  }
  line.reset(NewSimLine(options, this));
  if (!line->Open(error)) {
    line.reset();
    return false;
  }

  started = true;
  // Our own line's path comes first, alone and unstamped, so a script can read it
  // before anything else.
  if (options.device.empty() && output) {
    std::lock_guard<std::mutex> hold(outputMutex);
    output(line->Path());
  }
  Emit("unit K4-ZVL firmware v" + std::string(1, options.firmwareMajor) + "." +
       std::string(1, options.firmwareMinor) + " on " + line->Describe() + ", record " +
       QuotedBytes(BuildConfigPacket(config).data() + 2, kConfigPacketLength - 2) + ", seed " +
       std::to_string(seed));
  sender = std::thread([this] { SenderLoop(); });
  return true;
}

void UnitSimulator::Stop() {
  if (!started) return;
  {
    std::lock_guard<std::mutex> hold(mutex);
    stopping = true;
  }
  wake.notify_all();
  if (sender.joinable()) sender.join();
  line->Close();
  started = false;
}

std::string UnitSimulator::LinePath() const { return line ? line->Path() : std::string(); }

UnitConfig UnitSimulator::Config() const {
  std::lock_guard<std::mutex> hold(mutex);
  return config;
}

bool UnitSimulator::TransmitterOn() const {
  std::lock_guard<std::mutex> hold(mutex);
  return transmitterOn;
}

std::vector<uint8_t> UnitSimulator::Indications() const {
  std::lock_guard<std::mutex> hold(mutex);
  return std::vector<uint8_t>(indications, indications + 8);
}

unsigned UnitSimulator::IndicationsWidth() const {
  std::lock_guard<std::mutex> hold(mutex);
  return indicationsWidth;
}

bool UnitSimulator::Chance(unsigned percent) {
  if (percent == 0) return false;
  if (percent >= 100) return true;
  return std::uniform_int_distribution<unsigned>(0, 99)(random) < percent;
}

// --- receiving --------------------------------------------------------------------

void UnitSimulator::OnBytes(const uint8_t* bytes, size_t count) {
  // The same line rules as the tool's.
  const auto feed = [this](const uint8_t* from, size_t n) {
    received.Feed(from, n, [this](const uint8_t* l, uint8_t length) { HandleLine(l, length); });
  };
  if (!options.lineRate) {
    feed(bytes, count);
    return;
  }
  // A line is acted on once its carriage return would have crossed the line.
  const auto ends = takePace.Take(count, Clock::now());
  size_t from = 0;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != kCarriageReturn) continue;
    if (!PauseUntil(ends[i])) return;
    feed(bytes + from, i + 1 - from);
    from = i + 1;
  }
  feed(bytes + from, count - from);
}

bool UnitSimulator::Stopping() const {
  std::lock_guard<std::mutex> hold(mutex);
  return stopping;
}

bool UnitSimulator::PauseUntil(Clock::time_point until) {
  std::unique_lock<std::mutex> hold(mutex);
  return !wake.wait_until(hold, until, [this] { return stopping; });
}

void UnitSimulator::OnLineFailed() { Emit("line failed: the device has gone away"); }

void UnitSimulator::HandleLine(const uint8_t* frame, size_t length) {
  if (!IsFrameLine(frame, static_cast<unsigned>(length))) {
    Emit("rx " + QuotedBytes(frame, length) + " not a frame, dropped");
    return;
  }
  ++framesIn;
  const std::string quoted = "rx " + QuotedBytes(frame, length);
  const uint8_t type = frame[1];
  if (IsAckOrNak(frame, static_cast<unsigned>(length))) {
    Emit(quoted + (type == '+' ? " ACK" : " NAK"));
    return;
  }
  if (type == '~' || type == 'I') {
    if (!FrameChecksumValid(frame, static_cast<unsigned>(length))) {
      Emit(quoted + " bad checksum");
      Answer(false, "bad checksum");
      return;
    }
    if (type == '~') {
      Emit(quoted);
      HandleConfigFrame(frame + 1, length - 4);
    } else {
      HandleIndications(frame, length);
    }
    return;
  }
  Emit(quoted + " ignored");
}

bool UnitSimulator::Answer(bool accept, const std::string& why,
                           const std::function<void()>& carryOut) {
  std::lock_guard<std::mutex> hold(mutex);
  // A unit that has hung, or one that missed this request: no answer, nothing done.
  if (options.stopAfter && requestsAnswered >= options.stopAfter) {
    ++faults;
    Emit("fault: no answer (" + why + "; stopped after " + std::to_string(options.stopAfter) +
         " requests)");
    return false;
  }
  if (Chance(options.silentPercent)) {
    ++faults;
    Emit("fault: no answer (" + why + " not carried out)");
    return false;
  }
  ++requestsAnswered;
  if (accept && Chance(options.nakPercent)) {
    ++faults;
    Emit("fault: NAK instead of ACK (" + why + " not carried out)");
    accept = false;
  }
  // The change is made before the ACK can go out, so whoever sees the ACK sees it done.
  if (accept && carryOut) carryOut();
  QueueAnswer(accept ? Ack() : Nak(), accept ? "ACK" : "NAK, " + why);
  return accept;
}

void UnitSimulator::QueueAnswer(Bytes bytes, const std::string& note) {
  // Caller holds the mutex.
  Outgoing answer{Clock::now() + std::chrono::milliseconds(options.delayMs), nextOrder++,
                  std::move(bytes), note};
  if (options.delayMs > 0) {
    ++faults;
    Emit("fault: answer (" + note + ") held back " + std::to_string(options.delayMs) + " ms");
  }
  queue.push_back(std::move(answer));
  wake.notify_all();
}

void UnitSimulator::HandleConfigFrame(const uint8_t* payload, size_t length) {
  const uint8_t command = length >= 2 ? payload[1] : 0;
  if (command == 'R' && length == 2) {
    if (!Answer(true, "read request")) return;
    std::lock_guard<std::mutex> hold(mutex);
    QueueAnswer(Frame(ReadResponseText(), "read response"), "read response");
    return;
  }
  if (command == 'W') {
    // Exactly fourteen digits; anything else changes nothing.
    UnitConfig written{};
    const bool wellFormed = DecodeConfigPacket(payload, length, &written);
    if (!Answer(wellFormed, wellFormed ? "write" : "malformed write",
                [&] { config = written; })) {
      return;
    }
    Emit("record replaced: " + QuotedBytes(payload + 2, length - 2));
    if (options.saveConfig) {
      const ConfigFileError saved = SaveConfigFile(options.configFile.c_str(), written);
      Emit(saved == ConfigFileError::kNone
               ? "record saved to " + options.configFile
               : std::string(ConfigFileMessage(saved)) + ": " + options.configFile);
    }
    return;
  }
  if ((command == 'T' || command == 't') && length == 2) {
    if (!Answer(true, command == 'T' ? "Tx on" : "Tx off",
                [&] { transmitterOn = command == 'T'; })) {
      return;
    }
    Emit(command == 'T' ? "transmitter on" : "transmitter off");
    return;
  }
  Answer(false, "unknown configuration command");
}

void UnitSimulator::HandleIndications(const uint8_t* frame, size_t length) {
  // Read as the tool reads "C" and "I" frames, but from the payload alone: the unit
  // takes no data from the checksum digits, so a byte whose digits are not all inside
  // the payload keeps its value.
  const BitsFrame data = DecodeBitsFrame(frame, static_cast<uint8_t>(length - 3));
  const unsigned count = data.ByteCount();
  Emit("rx " + QuotedBytes(frame, length));
  std::string bits;
  const bool taken = Answer(true, "indications", [&] {
    for (unsigned i = 0; i < count && i < data.bytesRead; ++i) indications[i] = data.bytes[i];
    indicationsWidth = count * 8;
    bits = BitText(indications, count);
    bits.pop_back();  // the page's text ends in a space, this line does not
  });
  if (taken) Emit("indications " + bits);
}

// --- sending ----------------------------------------------------------------------

UnitSimulator::Bytes UnitSimulator::Frame(const std::string& payload, const std::string& what) {
  // Caller holds the mutex (for the random generator).
  Bytes frame(payload.size() + kFrameOverhead);
  BuildFrame(reinterpret_cast<const uint8_t*>(payload.data()), static_cast<uint32_t>(payload.size()),
             frame.data());
  if (Chance(options.badChecksumPercent)) {
    ++faults;
    Emit("fault: bad checksum on " + what);
    const uint8_t sum = FrameSum(frame.data(), static_cast<unsigned>(payload.size() + 1));
    PutChecksum(&frame[payload.size() + 1], static_cast<uint8_t>(sum ^ 0x5A));
  }
  return frame;
}

std::string UnitSimulator::ReadResponseText() const {
  // Caller holds the mutex. The character the tool does not look at carries the
  // transmitter state: '1' on, '0' off.
  const ReadResponsePayload payload = BuildReadResponsePayload(
      options.firmwareMajor, options.firmwareMinor, transmitterOn ? '1' : '0', options.dipSwitches,
      config);
  return std::string(payload.begin(), payload.end());
}

std::string UnitSimulator::NextControlsPayload() {
  // Caller holds the mutex.
  const unsigned count = options.controlsWidth == 64 ? 8 : 4;
  uint8_t controls[8] = {};
  const uint64_t step = controlsStep++;
  switch (options.pattern) {
    case ControlsPattern::kWalk:
      controls[(step % (count * 8)) / 8] = static_cast<uint8_t>(1u << (step % 8));
      break;
    case ControlsPattern::kCount:
      for (unsigned i = 0; i < count; ++i) controls[i] = static_cast<uint8_t>(step >> (8 * i));
      break;
    case ControlsPattern::kRandom:
      for (unsigned i = 0; i < count; ++i) controls[i] = static_cast<uint8_t>(random());
      break;
    case ControlsPattern::kFixed:
      std::memcpy(controls, options.fixedControls, count);
      break;
  }
  // Laid out as the tool's own indications packet is, colon included.
  uint8_t payload[CommsState::kMaxPayload];
  return std::string(payload, payload + BitsPayload('C', controls, count == 8, payload));
}

void UnitSimulator::SenderLoop() {
  using std::chrono::milliseconds;
  const auto start = Clock::now();
  auto nextControls = start + milliseconds(options.controlsPeriodMs);
  auto nextPoll = start + milliseconds(options.pollPeriodMs);
  const auto floodGap = options.floodRate ? std::chrono::microseconds(1000000 / options.floodRate)
                                          : std::chrono::microseconds(0);
  auto nextFlood = start;
  const auto never = Clock::time_point::max();
  // A tool that opened some other port (a COM port left pointing elsewhere) shows as
  // nothing at all; say so rather than leave the user to wonder.
  auto peerCheck = options.peerWaitMs ? start + milliseconds(options.peerWaitMs) : never;

  std::unique_lock<std::mutex> hold(mutex);
  while (!stopping) {
    const auto now = Clock::now();
    std::vector<std::pair<Bytes, std::string>> toSend;

    // Due answers, oldest first.
    std::sort(queue.begin(), queue.end(), [](const Outgoing& a, const Outgoing& b) {
      return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    size_t due = 0;
    while (due < queue.size() && queue[due].due <= now) {
      toSend.emplace_back(std::move(queue[due].bytes), queue[due].note);
      ++due;
    }
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(due));

    if (options.controlsPeriodMs && now >= nextControls) {
      toSend.emplace_back(Frame(NextControlsPayload(), "controls"), "controls");
      nextControls += milliseconds(options.controlsPeriodMs);
      if (nextControls < now) nextControls = now + milliseconds(options.controlsPeriodMs);
    }
    if (options.pollPeriodMs && now >= nextPoll) {
      toSend.emplace_back(Frame("R", "poll"), "poll");
      nextPoll += milliseconds(options.pollPeriodMs);
      if (nextPoll < now) nextPoll = now + milliseconds(options.pollPeriodMs);
    }
    const bool flooding =
        options.floodRate && (options.floodFrames == 0 || floodSent < options.floodFrames);
    if (flooding && now >= nextFlood) {
      toSend.emplace_back(Frame(NextControlsPayload(), "flood controls"), "flood controls");
      nextFlood += floodGap;
      if (++floodSent == options.floodFrames) Emit("flood: " + std::to_string(floodSent) + " frames sent");
    }

    if (peerCheck != never && now >= peerCheck) {
      peerCheck = never;
      if (!line->PeerOpened()) {
        const unsigned ms = options.peerWaitMs;
        Emit("note: nobody has opened " + line->Path() + " in the " +
             (ms % 1000 ? std::to_string(ms) + " ms" : std::to_string(ms / 1000) + " s") +
             " since start; is the tool's COM port mapped to it?");
      }
    }

    if (!toSend.empty()) {
      hold.unlock();
      for (const auto& item : toSend) Transmit(item.first, item.second);
      hold.lock();
      continue;
    }

    auto until = peerCheck;
    for (const Outgoing& o : queue) until = std::min(until, o.due);
    if (options.controlsPeriodMs) until = std::min(until, nextControls);
    if (options.pollPeriodMs) until = std::min(until, nextPoll);
    if (flooding) until = std::min(until, nextFlood);
    if (until == never) {
      wake.wait(hold);
    } else {
      wake.wait_until(hold, until);
    }
  }
}

void UnitSimulator::Transmit(const Bytes& bytes, const std::string& note) {
  // Sender thread only. Line noise goes in front of the frame, between frames.
  bool garbage, longLine, split;
  Bytes noise;
  size_t cut = 0;
  {
    std::lock_guard<std::mutex> hold(mutex);
    garbage = Chance(options.garbagePercent);
    longLine = Chance(options.longLinePercent);
    split = bytes.size() > 1 && Chance(options.splitPercent);
    if (garbage) {
      // Anything but a line feed, so the noise cannot start a frame of its own.
      const unsigned n = std::uniform_int_distribution<unsigned>(1, 16)(random);
      for (unsigned i = 0; i < n; ++i) {
        uint8_t b;
        do b = static_cast<uint8_t>(random()); while (b == kLineFeed);
        noise.push_back(b);
      }
    }
    if (longLine) {
      // A line longer than the tool's 64-byte buffer, of a type no one acts on.
      noise.push_back(kLineFeed);
      const unsigned n = std::uniform_int_distribution<unsigned>(70, 200)(random);
      for (unsigned i = 0; i < n; ++i) noise.push_back(static_cast<uint8_t>('L'));
      noise.push_back(kCarriageReturn);
    }
    if (split) cut = std::uniform_int_distribution<size_t>(1, bytes.size() - 1)(random);
  }
  if (!noise.empty()) {
    faults += (garbage ? 1 : 0) + (longLine ? 1 : 0);
    Emit(std::string("fault: ") + (garbage && longLine ? "garbage and long line" : garbage ? "garbage" : "long line") +
         " " + QuotedBytes(noise.data(), noise.size()));
    WritePiece(noise.data(), noise.size());
  }
  Emit("tx " + QuotedBytes(bytes.data(), bytes.size()) + " " + note);
  if (split) {
    ++faults;
    Emit("fault: frame split after byte " + std::to_string(cut));
    WritePiece(bytes.data(), cut);
    // A short pause so the pieces reach the reader in separate reads.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WritePiece(bytes.data() + cut, bytes.size() - cut);
  } else {
    WritePiece(bytes.data(), bytes.size());
  }
  ++framesOut;
}

void UnitSimulator::WritePiece(const uint8_t* bytes, size_t count) {
  const size_t written = options.lineRate ? WritePaced(bytes, count) : line->Write(bytes, count);
  if (line->TakeDroppedNote()) Emit("note: nobody is reading the line; unread output dropped");
  // A paced write is cut short by the end of the run, which is no failure of the line.
  if (written != count && !Stopping()) {
    Emit("write failed: " + std::to_string(written) + " of " + std::to_string(count) +
         " bytes went out");
  }
}

size_t UnitSimulator::WritePaced(const uint8_t* bytes, size_t count) {
  const auto ends = sendPace.Take(count, Clock::now());
  size_t written = 0;
  while (written < count) {
    if (!PauseUntil(ends[written])) break;
    // Every byte whose time has come goes in one write.
    size_t ready = written + 1;
    const auto now = Clock::now();
    while (ready < count && ends[ready] <= now) ++ready;
    const size_t n = line->Write(bytes + written, ready - written);
    written += n;
    if (written != ready) break;
  }
  return written;
}
