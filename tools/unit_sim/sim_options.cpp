#include "tools/unit_sim/sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "link/hex.h"

const char* SimUsage() {
  return
      "Usage: vtl-unit-sim [options]\n"
      "Plays the Vantrel unit (\"K4-ZVL\" firmware) on the ZVL side of a serial line.\n"
      "Without --device it makes a pseudo-terminal pair and prints, as the first line of\n"
      "its output, the path of the end the tool should open.\n"
      "\n"
      "Line:\n"
      "  --device PATH            open this serial device (2400 baud, 8N1) instead\n"
      "  --wine-prefix DIR        also map our end as DIR/dosdevices/comN (needs --com)\n"
      "  --com N                  the COM port number for --wine-prefix (1-256)\n"
      "Unit:\n"
      "  --firmware X.Y           firmware version reported by reads (default 1.3)\n"
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
      "  --garbage PCT            random bytes (never a line feed) before a frame\n"
      "  --long-lines PCT         a line of 70-200 bytes before a frame\n"
      "  --split PCT              write a frame in two pieces cut at a random point\n"
      "  --flood RATE             extra valid controls frames, RATE per second\n"
      "  --flood-frames N         stop the flood after N frames (default: never)\n"
      "Run:\n"
      "  --seed N                 seed of the fault and pattern generator (default: clock)\n"
      "  --run-for MS             end after MS ms (default: on SIGINT or SIGTERM)\n"
      "  --quiet                  no line per frame (faults, notes and counts still shown)\n"
      "  --help                   this text\n"
      "\n"
      "Every frame received and sent and every fault injected is printed as one\n"
      "time-stamped line; the counts of frames in and out are printed at exit.\n";
}

namespace {
bool Number(const char* text, unsigned low, unsigned high, unsigned* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || n < low || n > high) return false;
  *value = static_cast<unsigned>(n);
  return true;
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
}  // namespace

ParseResult ParseSimOptions(int argc, const char* const* argv, SimOptions* options,
                            std::string* error) {
  SimOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") return ParseResult::kHelp;
    if (name == "--save-config") {
      o.saveConfig = true;
      continue;
    }
    if (name == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (name.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + name + "'";
      return ParseResult::kError;
    }
    static const char* const kWithValue[] = {
        "--device", "--wine-prefix", "--com", "--firmware", "--dip", "--config",
        "--controls-period", "--controls-width", "--controls-pattern", "--poll-period",
        "--bad-checksum", "--nak", "--delay", "--garbage", "--long-lines", "--split",
        "--flood", "--flood-frames", "--seed", "--run-for"};
    bool known = false;
    for (const char* k : kWithValue) known = known || name == k;
    if (!known) {
      *error = "unknown option '" + name + "'";
      return ParseResult::kError;
    }
    if (i + 1 >= argc) {
      *error = "option " + name + " needs a value";
      return ParseResult::kError;
    }
    const char* value = argv[++i];
    const auto bad = [&](const char* what) {
      *error = "option " + name + ": '" + value + "' is not " + what;
      return ParseResult::kError;
    };
    const auto percent = [&](unsigned* field) { return Number(value, 0, 100, field); };
    unsigned n = 0;
    if (name == "--device") {
      if (*value == '\0') return bad("a device path");
      o.device = value;
    } else if (name == "--wine-prefix") {
      if (*value == '\0') return bad("a folder");
      o.winePrefix = value;
    } else if (name == "--com") {
      if (!Number(value, 1, 256, &o.wineCom)) return bad("a COM port number 1-256");
    } else if (name == "--firmware") {
      if (std::strlen(value) != 3 || value[1] != '.') return bad("a version X.Y");
      o.firmwareMajor = value[0];
      o.firmwareMinor = value[2];
    } else if (name == "--dip") {
      if (!Number(value, 0, 7, &n)) return bad("a dip-switch value 0-7");
      o.dipSwitches = static_cast<uint8_t>(n);
    } else if (name == "--config") {
      if (*value == '\0') return bad("a file");
      o.configFile = value;
    } else if (name == "--controls-period") {
      if (!Number(value, 0, 3600000, &o.controlsPeriodMs)) return bad("a period in ms");
    } else if (name == "--controls-width") {
      if (!Number(value, 32, 64, &n) || (n != 32 && n != 64)) return bad("32 or 64");
      o.controlsWidth = n;
    } else if (name == "--controls-pattern") {
      const std::string p = value;
      if (p == "walk") {
        o.pattern = ControlsPattern::kWalk;
      } else if (p == "count") {
        o.pattern = ControlsPattern::kCount;
      } else if (p == "random") {
        o.pattern = ControlsPattern::kRandom;
      } else if (p.compare(0, 6, "fixed:") == 0 && p.size() == 6 + 16) {
        for (size_t k = 6; k < p.size(); ++k) {
          if (!IsHex(p[k])) return bad("walk, count, random or fixed:HEX");
        }
        o.pattern = ControlsPattern::kFixed;
        for (unsigned b = 0; b < 8; ++b) {
          // Written naturally, high digit first.
          o.fixedControls[b] = HexByte(static_cast<uint8_t>(p[7 + 2 * b]),
                                       static_cast<uint8_t>(p[6 + 2 * b]));
        }
      } else {
        return bad("walk, count, random or fixed:HEX");
      }
    } else if (name == "--poll-period") {
      if (!Number(value, 0, 3600000, &o.pollPeriodMs)) return bad("a period in ms");
    } else if (name == "--bad-checksum") {
      if (!percent(&o.badChecksumPercent)) return bad("a percentage 0-100");
    } else if (name == "--nak") {
      if (!percent(&o.nakPercent)) return bad("a percentage 0-100");
    } else if (name == "--delay") {
      if (!Number(value, 0, 600000, &o.delayMs)) return bad("a delay in ms");
    } else if (name == "--garbage") {
      if (!percent(&o.garbagePercent)) return bad("a percentage 0-100");
    } else if (name == "--long-lines") {
      if (!percent(&o.longLinePercent)) return bad("a percentage 0-100");
    } else if (name == "--split") {
      if (!percent(&o.splitPercent)) return bad("a percentage 0-100");
    } else if (name == "--flood") {
      if (!Number(value, 0, 1000000, &o.floodRate)) return bad("a rate in frames per second");
    } else if (name == "--flood-frames") {
      if (!Number(value, 0, 4000000000u, &o.floodFrames)) return bad("a frame count");
    } else if (name == "--seed") {
      if (!Number(value, 0, 4294967295u, &n)) return bad("a number");
      o.seed = n;
    } else if (name == "--run-for") {
      if (!Number(value, 0, 4000000000u, &o.runForMs)) return bad("a time in ms");
    } else {
      *error = "unknown option '" + name + "'";
      return ParseResult::kError;
    }
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
  if (o.saveConfig && o.configFile.empty()) {
    *error = "--save-config needs --config FILE";
    return ParseResult::kError;
  }
  *options = o;
  return ParseResult::kRun;
}
