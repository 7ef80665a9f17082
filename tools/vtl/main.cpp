// vtl: the unit from the command line. Reads the options (getopt_long, in glibc and in
// MinGW-w64 alike), checks every argument before the port is touched, and runs one
// command of commands.h.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/hex.h"
#include "tools/vtl/commands.h"
#include "tools/vtl/record_text.h"
#include "vtl_version.h"

namespace {
const char kHelp[] =
    "Usage: vtl [--port PORT] [--timeout MS] [--json] COMMAND [ARGS]\n"
    "\n"
    "Talks to the Vantrel unit (K4-ZVL firmware) on a serial port at 2400 baud 8N1,\n"
    "DTR and RTS raised.\n"
    "\n"
    "  --port PORT     a device path (/dev/ttyUSB0) or a Windows port name (COM3,\n"
    "                  \\\\.\\COM12); default: the environment variable VTL_PORT\n"
    "  --timeout MS    the answer window, 1 to 60000 ms (default 1000)\n"
    "  --json          print JSON instead (one object; one per line for monitor and tap)\n"
    "  --help          this text\n"
    "  --version       print the version (VERSION and the commit) and exit\n"
    "\n"
    "Commands:\n"
    "  read [--save FILE.vtl]     read the unit's record (and save it as a .vtl file)\n"
    "  show FILE.vtl              decode a .vtl file (no port)\n"
    "  write FILE.vtl [--verify]  write a file's record to the unit (--verify: read it\n"
    "                             back and compare all seven bytes)\n"
    "  default [--verify]         write the default record 3C BD BF 12 06 00 0D\n"
    "  set FIELD=VALUE... [--verify]\n"
    "                             read, change the named fields, write. Fields:\n"
    "%FIELDS%"
    "  tx on|off                  switch the unit's transmitter\n"
    "  monitor [--respond] [--wide] [--indications HEX] [--log FILE]\n"
    "                             stand in for the ZVL equipment until Ctrl-C or SIGTERM:\n"
    "                             every frame in and out, controls when they change;\n"
    "                             --respond answers as \"Respond to messages\" does;\n"
    "                             --wide: 64 indication bits; --indications: 8 or 16 hex\n"
    "                             digits, byte 0 first (16 digits mean 64 bits);\n"
    "                             --log appends the same lines to FILE\n"
    "  tap --tool PORT --unit PORT\n"
    "                             forward every byte between a tool and the unit and\n"
    "                             print every frame; --tool pty (Linux) makes a\n"
    "                             pseudo-terminal for the tool and prints its path\n"
    "  ports                      list the serial ports present\n"
    "\n"
    "Exit status: 0 done; 1 the unit refused (NAK), did not answer within the window,\n"
    "or --verify found a difference; 2 usage error or bad file; 3 the port could not\n"
    "be opened or was lost during the command.\n"
    "\n"
    "JSON keys (stable):\n"
    "  every command: command, result (ok, refused, no answer, invalid response,\n"
    "    different, usage, bad file, port); on failure also error (text), exit\n"
    "  the record (read, show, set; decoded frames): record (14 hex digits, byte 0\n"
    "    first), io, zvl, adcs (the ID, or \"off\"), split, preamble_ms, postamble_ms,\n"
    "    protocol, use_avail, dont_buffer_controls, no_ctrl_byte, nrz, v22_tx_high,\n"
    "    rx_equalisation, baud, baud_code\n"
    "  read: status, firmware, dip_switches, saved   show: file\n"
    "  write, default, set: written, status, verified, read_back, differences;\n"
    "    set also read\n"
    "  tx: state, status   ports: ports (a list)\n"
    "  monitor and tap, one object per line: time (HH:MM:SS.mmm), event (frame,\n"
    "    controls, indications, opened, lost, pty, tapping, not-forwarded,\n"
    "    send-failed, end); frames: dir (rx, tx; tool>unit, unit>tool), frame (its\n"
    "    bytes), checksum (ok, bad, none), kind, decoded; controls: width, bits;\n"
    "    end: frames_in, frames_out (monitor), tool_to_unit_bytes/_frames/_unsent,\n"
    "    unit_to_tool_bytes/_frames/_unsent (tap)\n";

// The help, its list of the record's fields made from the fields' table.
std::string HelpText() {
  std::string text = kHelp;
  const size_t at = text.find("%FIELDS%");
  return text.replace(at, std::strlen("%FIELDS%"), FieldsHelp(29, 82));
}

enum OptionId {
  kPort = 1000, kTimeout, kJson, kHelpOption, kSave, kVerify, kRespond, kWide,
  kIndications, kLog, kTool, kUnit, kVersionOption
};

const option kOptions[] = {
    {"port", required_argument, nullptr, kPort},
    {"timeout", required_argument, nullptr, kTimeout},
    {"json", no_argument, nullptr, kJson},
    {"help", no_argument, nullptr, kHelpOption},
    {"save", required_argument, nullptr, kSave},
    {"verify", no_argument, nullptr, kVerify},
    {"respond", no_argument, nullptr, kRespond},
    {"wide", no_argument, nullptr, kWide},
    {"indications", required_argument, nullptr, kIndications},
    {"log", required_argument, nullptr, kLog},
    {"tool", required_argument, nullptr, kTool},
    {"unit", required_argument, nullptr, kUnit},
    {"version", no_argument, nullptr, kVersionOption},
    {nullptr, 0, nullptr, 0},
};

// Which command takes which of its own options.
struct CommandOptions {
  const char* command;
  std::vector<int> allowed;
  unsigned minArgs, maxArgs;  // positional arguments after the command
};
const CommandOptions kCommands[] = {
    {"read", {kSave}, 0, 0},
    {"show", {}, 1, 1},
    {"write", {kVerify}, 1, 1},
    {"default", {kVerify}, 0, 0},
    {"set", {kVerify}, 1, 1000},
    {"tx", {}, 1, 1},
    {"monitor", {kRespond, kWide, kIndications, kLog}, 0, 0},
    {"tap", {kTool, kUnit}, 0, 0},
    {"ports", {}, 0, 0},
};

struct Parsed {
  CommonOptions common;
  std::string command;
  std::vector<std::string> args;
  std::string save, tool, unit;
  bool verify = false;
  MonitorOptions monitor;
};

// The indication bytes as hex, byte 0 first, two digits a byte (high digit first).
bool ParseIndications(const std::string& text, MonitorOptions* monitor) {
  if (text.size() != 8 && text.size() != 16) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    if (!IsHexDigit(static_cast<uint8_t>(text[i])) || !IsHexDigit(static_cast<uint8_t>(text[i + 1]))) {
      return false;
    }
    monitor->indications[i / 2] = HexByte(static_cast<uint8_t>(text[i + 1]),
                                          static_cast<uint8_t>(text[i]));
  }
  monitor->indicationsGiven = true;
  if (text.size() == 16) monitor->wide = true;
  return true;
}

// Parses one option; false with *error set on a bad value.
bool TakeOption(int id, const char* value, Parsed* p, std::string* error) {
  unsigned long number = 0;
  switch (id) {
    case kPort: p->common.port = value; return true;
    case kTimeout:
      if (!ParseDecimal(value, 60000, &number) || number == 0) {
        *error = std::string("bad --timeout '") + value + "': expected 1 to 60000 (ms)";
        return false;
      }
      p->common.timeoutMs = static_cast<uint32_t>(number);
      return true;
    case kJson: p->common.json = true; return true;
    case kSave: p->save = value; return true;
    case kVerify: p->verify = true; return true;
    case kRespond: p->monitor.respond = true; return true;
    case kWide: p->monitor.wide = true; return true;
    case kIndications:
      if (!ParseIndications(value, &p->monitor)) {
        *error = std::string("bad --indications '") + value +
                 "': expected 8 or 16 hex digits, byte 0 first";
        return false;
      }
      return true;
    case kLog: p->monitor.logFile = value; return true;
    case kTool: p->tool = value; return true;
    case kUnit: p->unit = value; return true;
  }
  return false;
}

constexpr int kVersionAsked = -1;

const char* OptionName(int id) {
  for (const option& o : kOptions) {
    if (o.val == id) return o.name;
  }
  return "?";
}

// Runs getopt_long over argv[0..argc): `stopAtCommand` stops at the first word that
// is not an option (the command). Returns 0, 1 for --help, 2 after a usage error, or
// kVersionAsked for --version.
int ParseOptions(int argc, char** argv, bool stopAtCommand, const CommandOptions* command,
                 Parsed* p) {
  optind = 0;  // a full restart of getopt's scan, in glibc and MinGW-w64 alike
  opterr = 0;
  const std::string name = command ? command->command : "";
  for (;;) {
    int index = 0;
    const int id = getopt_long(argc, argv, stopAtCommand ? "+:" : ":", kOptions, &index);
    if (id == -1) break;
    std::string error;
    if (id == '?' || id == ':') {
      const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
      error = id == ':' ? "option '" + word + "' needs a value" : "unknown option '" + word + "'";
      return UsageError(p->common, name, error);
    }
    if (id == kHelpOption) return 1;
    if (id == kVersionOption) return kVersionAsked;
    const bool common = id == kPort || id == kTimeout || id == kJson;
    bool allowed = common;
    if (command != nullptr) {
      for (const int a : command->allowed) allowed = allowed || a == id;
    }
    if (!allowed) {
      return UsageError(p->common, name,
                        std::string("--") + OptionName(id) +
                            (command ? std::string(" is not an option of ") + command->command
                                     : std::string(" goes after its command")));
    }
    if (!TakeOption(id, optarg, p, &error)) return UsageError(p->common, name, error);
  }
  return 0;
}

// The exit status for a ParseOptions result other than 0, after printing the help or
// the version where one was asked for.
int Answered(int status) {
  if (status == 1) std::fputs(HelpText().c_str(), stdout);
  if (status == kVersionAsked) std::puts("vtl " VTL_VERSION_STRING);
  return status == 1 || status == kVersionAsked ? kExitDone : status;
}
}  // namespace

int main(int argc, char** argv) {
  Parsed p;
  // A first pass for the options before the command, so that --json is known for the
  // report of any error that follows.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) p.common.json = true;
  }
  int status = ParseOptions(argc, argv, true, nullptr, &p);
  if (status != 0) return Answered(status);
  if (optind >= argc) return UsageError(p.common, "", "no command given");
  p.command = argv[optind];
  const CommandOptions* command = nullptr;
  for (const CommandOptions& c : kCommands) {
    if (p.command == c.command) command = &c;
  }
  if (command == nullptr) return UsageError(p.common, "", "unknown command '" + p.command + "'");

  // The command's own words, options anywhere among them.
  const int first = optind;
  std::vector<char*> words(argv + first, argv + argc);
  words.push_back(nullptr);
  status = ParseOptions(argc - first, words.data(), false, command, &p);
  if (status != 0) return Answered(status);
  for (int i = optind; i < argc - first; ++i) p.args.emplace_back(words[i]);
  if (p.args.size() < command->minArgs || p.args.size() > command->maxArgs) {
    return UsageError(p.common, p.command,
                      p.args.size() < command->minArgs ? "missing argument"
                                                       : "unexpected argument '" +
                                                             p.args[command->maxArgs] + "'");
  }

  CommonOptions& o = p.common;
  if (p.command == "show") return RunShow(o, p.args[0]);
  if (p.command == "ports") return RunPorts(o);

  // Every other command talks to a port; values are checked before it is opened.
  UnitConfig record = DefaultConfig();
  if (p.command == "write" && !LoadRecordFile(o, "write", p.args[0], &record, &status)) {
    return status;
  }
  if (p.command == "tx" && p.args[0] != "on" && p.args[0] != "off") {
    return UsageError(o, "tx", "expected 'on' or 'off', not '" + p.args[0] + "'");
  }
  if (p.command == "tap") {
    if (p.tool.empty() || p.unit.empty()) return UsageError(o, "tap", "needs --tool and --unit");
    return RunTap(o, p.tool, p.unit);
  }
  if (o.port.empty()) {
    const char* fromEnvironment = std::getenv("VTL_PORT");
    if (fromEnvironment != nullptr) o.port = fromEnvironment;
  }
  if (o.port.empty()) return UsageError(o, p.command, "no port: give --port PORT or set VTL_PORT");
  if (p.command == "read") return RunRead(o, p.save);
  if (p.command == "write" || p.command == "default") {
    return RunWrite(o, p.command, record, p.verify);
  }
  if (p.command == "set") return RunSet(o, p.args, p.verify);
  if (p.command == "tx") return RunTx(o, p.args[0] == "on");
  return RunMonitor(o, p.monitor);
}
