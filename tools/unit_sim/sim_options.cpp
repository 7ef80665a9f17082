#include "tools/unit_sim/sim_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "link/hex.h"

std::string SimUsage() {
  std::string usage =
      kSimHasOwnLine
          ? "Usage: vtl-unit-sim [options]\n"
            "Plays the Vantrel unit (\"K4-ZVL\" firmware) on the ZVL side of a serial line.\n"
            "Without --device it makes a pseudo-terminal pair and prints, as the first line of\n"
            "its output, the path of the end the tool should open.\n"
            "\n"
            "Line:\n"
            "  --device PATH            open this serial device (2400 baud, 8N1) instead\n"
            "  --wine-prefix DIR        also map our end as COM N of this Wine prefix (needs --com)\n"
            "  --com N                  the COM port number for --wine-prefix (1-256)\n"
            "  --peer-wait MS           note when nobody has opened our end MS ms after start,\n"
            "                           0 = never (default 3000)\n"
          : "Usage: vtl-unit-sim --device PORT [options]\n"
            "Plays the Vantrel unit (\"K4-ZVL\" firmware) on the ZVL side of a serial line:\n"
            "one end of a virtual COM port pair, whose other end the tool opens.\n"
            "\n"
            "Line:\n"
            "  --device PORT            the COM port to open (2400 baud, 8N1): COM5 or \\\\.\\COM12\n";
  usage +=
      "  --line-rate              send and take bytes at the line's own pace, 2400 baud 8N1\n"
      "                           (240 bytes a second; default: as fast as the line takes them)\n"
      "Unit:\n"
      "  --firmware X.Y           firmware version reported by reads, two digits (default 1.3)\n"
      "  --dip N                  dip switches 0-7, bit k set = switch k+1 off (default 0)\n"
      "  --config FILE            start from this 7-byte .vtl record (default: the defaults)\n"
      "  --save-config            write the record back to --config FILE on every change\n"
      "ZVL side:\n"
      "  --controls-period MS     send a controls frame every MS ms, 0 = never (default 1000)\n"
      "  --controls-width 32|64   controls per frame (default 32)\n"
      "  --controls-pattern P     walk | count | random | fixed:HEX (16 digits, byte 0 first)\n"
      "                           (default walk: one control set, moving on each frame)\n"
      "  --poll-period MS         send an \"R\" poll every MS ms, 0 = never (default 2000)\n"
      "Faults (all off by default; PCT is the share of frames affected, 0-100):\n"
      "  --bad-checksum PCT       frames we send get a wrong checksum\n"
      "  --nak PCT                NAK instead of ACK; the request is then not carried out\n"
      "  --delay MS               hold every answer back MS ms (the tool waits 1000 ms)\n"
      "  --silent PCT             no answer at all to a request (not carried out either)\n"
      "  --stop-after N           answer N requests, then none: a unit that has hung\n"
      "  --garbage PCT            random bytes (never a line feed) before a frame\n"
      "  --long-lines PCT         a line of 70-200 bytes before a frame\n"
      "  --split PCT              write a frame in two pieces cut at a random point\n"
      "  --flood RATE             extra valid controls frames, RATE per second\n"
      "  --flood-frames N         stop the flood after N frames (default: never)\n"
      "Run:\n"
      "  --seed N                 seed of the fault and pattern generator (default: clock)\n"
      "  --run-for MS             end after MS ms (default: on Ctrl-C";
  usage += kSimHasOwnLine ? ", SIGINT or SIGTERM)\n" : ")\n";
  usage +=
      "  --quiet                  no line per frame (faults, notes and counts still shown)\n"
      "  --help, -h               this text\n"
      "  --version                print the version (VERSION and the commit) and exit\n"
      "Values go as --option VALUE or --option=VALUE.\n"
      "\n"
      "Every frame received and sent and every fault injected is printed as one\n"
      "time-stamped line; the counts of frames in and out are printed at exit.\n";
  return usage;
}

namespace {
enum Option {
  kDevice = 256, kWinePrefix, kCom, kFirmware, kDip, kConfig, kSaveConfig, kControlsPeriod,
  kControlsWidth, kControlsPattern, kPollPeriod, kBadChecksum, kNak, kDelay, kGarbage,
  kLongLines, kSplit, kFlood, kFloodFrames, kSeed, kRunFor, kQuiet, kSilent, kStopAfter,
  kLineRate, kPeerWait, kVersion, kHelp = 'h',
};

const option kOptions[] = {
    {"device", required_argument, nullptr, kDevice},
    {"wine-prefix", required_argument, nullptr, kWinePrefix},
    {"com", required_argument, nullptr, kCom},
    {"firmware", required_argument, nullptr, kFirmware},
    {"dip", required_argument, nullptr, kDip},
    {"config", required_argument, nullptr, kConfig},
    {"save-config", no_argument, nullptr, kSaveConfig},
    {"controls-period", required_argument, nullptr, kControlsPeriod},
    {"controls-width", required_argument, nullptr, kControlsWidth},
    {"controls-pattern", required_argument, nullptr, kControlsPattern},
    {"poll-period", required_argument, nullptr, kPollPeriod},
    {"bad-checksum", required_argument, nullptr, kBadChecksum},
    {"nak", required_argument, nullptr, kNak},
    {"delay", required_argument, nullptr, kDelay},
    {"garbage", required_argument, nullptr, kGarbage},
    {"long-lines", required_argument, nullptr, kLongLines},
    {"split", required_argument, nullptr, kSplit},
    {"flood", required_argument, nullptr, kFlood},
    {"flood-frames", required_argument, nullptr, kFloodFrames},
    {"seed", required_argument, nullptr, kSeed},
    {"run-for", required_argument, nullptr, kRunFor},
    {"quiet", no_argument, nullptr, kQuiet},
    {"silent", required_argument, nullptr, kSilent},
    {"stop-after", required_argument, nullptr, kStopAfter},
    {"line-rate", no_argument, nullptr, kLineRate},
    {"peer-wait", required_argument, nullptr, kPeerWait},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

const option* OptionFor(int value) {
  for (const option* o = kOptions; o->name; ++o) {
    if (o->val == value) return o;
  }
  return nullptr;
}

bool Number(const char* text, unsigned long low, unsigned long high, unsigned* value) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || n < low || n > high) return false;
  *value = static_cast<unsigned>(n);
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHex(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool Pattern(const std::string& p, SimOptions* o) {
  if (p == "walk") {
    o->pattern = ControlsPattern::kWalk;
  } else if (p == "count") {
    o->pattern = ControlsPattern::kCount;
  } else if (p == "random") {
    o->pattern = ControlsPattern::kRandom;
  } else if (p.compare(0, 6, "fixed:") == 0 && p.size() == 6 + 16) {
    for (size_t k = 6; k < p.size(); ++k) {
      if (!IsHex(p[k])) return false;
    }
    o->pattern = ControlsPattern::kFixed;
    for (unsigned b = 0; b < 8; ++b) {
      // Written naturally, high digit first.
      o->fixedControls[b] =
          HexByte(static_cast<uint8_t>(p[7 + 2 * b]), static_cast<uint8_t>(p[6 + 2 * b]));
    }
  } else {
    return false;
  }
  return true;
}

// Takes one option's value into *o; false when the value is not what `what` says the
// option takes, with *what set.
bool TakeValue(int option, const char* value, SimOptions* o, const char** what) {
  unsigned n = 0;
  switch (option) {
    case kDevice: *what = "a device path"; if (!*value) return false; o->device = value; return true;
    case kWinePrefix: *what = "a folder"; if (!*value) return false; o->winePrefix = value; return true;
    case kCom: *what = "a COM port number 1-256"; return Number(value, 1, 256, &o->wineCom);
    case kFirmware:
      *what = "a version X.Y (a digit, a point and a digit)";
      if (std::strlen(value) != 3 || !IsDigit(value[0]) || value[1] != '.' || !IsDigit(value[2])) {
        return false;
      }
      o->firmwareMajor = value[0];
      o->firmwareMinor = value[2];
      return true;
    case kDip:
      *what = "a dip-switch value 0-7";
      if (!Number(value, 0, 7, &n)) return false;
      o->dipSwitches = static_cast<uint8_t>(n);
      return true;
    case kConfig: *what = "a file"; if (!*value) return false; o->configFile = value; return true;
    case kControlsPeriod: *what = "a period in ms"; return Number(value, 0, 3600000, &o->controlsPeriodMs);
    case kControlsWidth:
      *what = "32 or 64";
      if (!Number(value, 32, 64, &n) || (n != 32 && n != 64)) return false;
      o->controlsWidth = n;
      return true;
    case kControlsPattern: *what = "walk, count, random or fixed:HEX"; return Pattern(value, o);
    case kPollPeriod: *what = "a period in ms"; return Number(value, 0, 3600000, &o->pollPeriodMs);
    case kBadChecksum: *what = "a percentage 0-100"; return Number(value, 0, 100, &o->badChecksumPercent);
    case kNak: *what = "a percentage 0-100"; return Number(value, 0, 100, &o->nakPercent);
    case kDelay: *what = "a delay in ms"; return Number(value, 0, 600000, &o->delayMs);
    case kGarbage: *what = "a percentage 0-100"; return Number(value, 0, 100, &o->garbagePercent);
    case kLongLines: *what = "a percentage 0-100"; return Number(value, 0, 100, &o->longLinePercent);
    case kSplit: *what = "a percentage 0-100"; return Number(value, 0, 100, &o->splitPercent);
    case kFlood: *what = "a rate in frames per second"; return Number(value, 0, 1000000, &o->floodRate);
    case kFloodFrames: *what = "a frame count"; return Number(value, 0, 4000000000u, &o->floodFrames);
    case kSeed:
      *what = "a number";
      if (!Number(value, 0, 4294967295u, &n)) return false;
      o->seed = n;
      return true;
    case kRunFor: *what = "a time in ms"; return Number(value, 0, 4000000000u, &o->runForMs);
    case kSilent: *what = "a percentage 0-100"; return Number(value, 0, 100, &o->silentPercent);
    case kStopAfter: *what = "a request count"; return Number(value, 0, 4000000000u, &o->stopAfter);
    case kPeerWait: *what = "a time in ms"; return Number(value, 0, 3600000, &o->peerWaitMs);
  }
  *what = "expected";
  return false;
}

// The option as the user wrote it, without any "=value".
std::string Written(const char* argument) {
  const char* equals = std::strchr(argument, '=');
  return equals ? std::string(argument, equals) : std::string(argument);
}
}  // namespace

ParseResult ParseSimOptions(int argc, const char* const* argv, SimOptions* options,
                            std::string* error) {
  SimOptions o;
  // getopt_long keeps its place in globals: 0 starts it afresh (glibc and MinGW-w64).
  // "+" stops at the first argument that is not an option, ":" reports a missing
  // value apart from an unknown option, and opterr = 0 leaves the messages to us.
  optind = 0;
  opterr = 0;
  char* const* args = const_cast<char* const*>(argv);  // not permuted, with "+"
  for (;;) {
    const int previous = optind ? optind : 1;
    const int got = getopt_long(argc, args, "+:h", kOptions, nullptr);
    if (got == -1) break;
    const char* argument = argv[previous < argc ? previous : argc - 1];
    const option* known = OptionFor(got == ':' || got == '?' ? optopt : got);
    const std::string name = known ? std::string("--") + known->name : Written(argument);
    if (got == '?') {
      const bool givenValue = known && known->has_arg == no_argument && std::strchr(argument, '=');
      *error = givenValue ? "option " + name + " takes no value"
                          : "unknown option '" + Written(argument) + "'";
      return ParseResult::kError;
    }
    if (got == ':') {
      *error = "option " + name + " needs a value";
      return ParseResult::kError;
    }
    if (got == kHelp) return ParseResult::kHelp;
    if (got == kVersion) return ParseResult::kVersion;
    if (got == kSaveConfig) {
      o.saveConfig = true;
      continue;
    }
    if (got == kQuiet) {
      o.quiet = true;
      continue;
    }
    if (got == kLineRate) {
      o.lineRate = true;
      continue;
    }
    // A value in the next argument that is itself an option name means the value was
    // left out: "--device --run-for 300" must not open a device named "--run-for".
    // "--device=--odd" says what it means and is taken.
    const bool separate = optarg == argv[optind - 1];
    if (separate && optarg[0] == '-' && (optarg[1] == '-' || optarg[1] == 'h')) {
      *error = "option " + name + " needs a value, not the option '" + Written(optarg) + "'";
      return ParseResult::kError;
    }
    if ((got == kWinePrefix || got == kCom || got == kPeerWait) && !kSimHasOwnLine) {
      *error = "option " + name + " is for Linux only; here the simulator opens a COM port (--device)";
      return ParseResult::kError;
    }
    const char* what = "";
    if (!TakeValue(got, optarg, &o, &what)) {
      *error = "option " + name + ": '" + optarg + "' is not " + what;
      return ParseResult::kError;
    }
  }
  if (optind < argc) {
    *error = "unexpected argument '" + std::string(argv[optind]) + "'";
    return ParseResult::kError;
  }
  if (!o.winePrefix.empty() && o.wineCom == 0) {
    *error = "--wine-prefix needs --com N";
    return ParseResult::kError;
  }
  if (o.wineCom != 0 && o.winePrefix.empty()) {
    *error = "--com needs --wine-prefix DIR";
    return ParseResult::kError;
  }
  if (!o.winePrefix.empty() && !o.device.empty()) {
    *error = "--wine-prefix maps our own pseudo-terminal; it cannot be used with --device";
    return ParseResult::kError;
  }
  if (o.device.empty() && !kSimHasOwnLine) {
    *error = "--device PORT is needed: the simulator opens one end of a COM port pair";
    return ParseResult::kError;
  }
  if (o.saveConfig && o.configFile.empty()) {
    *error = "--save-config needs --config FILE";
    return ParseResult::kError;
  }
  *options = o;
  return ParseResult::kRun;
}
