#pragma once
// What the unit simulator is told on its command line.
#include <cstdint>
#include <string>

enum class ControlsPattern { kWalk, kCount, kRandom, kFixed };

struct SimOptions {
  // The line: a serial device to open, or (empty, Linux only) a pseudo-terminal pair
  // of our own, optionally mapped into a Wine prefix as COM<wineCom>.
  std::string device;
  std::string winePrefix;
  unsigned wineCom = 0;

  // What the unit reports and keeps.
  char firmwareMajor = '1';
  char firmwareMinor = '3';
  uint8_t dipSwitches = 0;  // bits 0-2: switches 1-3, a set bit meaning "off"
  std::string configFile;   // .vtl file the record starts from
  bool saveConfig = false;  // write the record back to configFile on every change

  // The ZVL side.
  unsigned controlsPeriodMs = 1000;  // 0: no controls frames
  unsigned controlsWidth = 32;       // 32 or 64
  ControlsPattern pattern = ControlsPattern::kWalk;
  uint8_t fixedControls[8] = {};
  unsigned pollPeriodMs = 2000;  // 0: no "R" polls

  // Faults, all off by default. Percentages are the share of frames affected.
  unsigned badChecksumPercent = 0;
  unsigned nakPercent = 0;
  unsigned delayMs = 0;
  unsigned garbagePercent = 0;
  unsigned longLinePercent = 0;
  unsigned splitPercent = 0;
  unsigned floodRate = 0;    // extra controls frames per second
  unsigned floodFrames = 0;  // 0: flood until stopped
  unsigned silentPercent = 0;  // requests given no answer at all
  unsigned stopAfter = 0;      // answer this many requests, then none; 0: no limit

  // The line's own pace: bytes go out and are taken at 2400 baud 8N1, 240 a second.
  bool lineRate = false;
  // How long after start a line that nobody has opened is noted; 0: never.
  unsigned peerWaitMs = 3000;

  bool quiet = false;      // no line per frame sent or received

  uint32_t seed = 0;       // 0: taken from the clock
  unsigned runForMs = 0;   // 0: run until SIGINT or SIGTERM
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Fills *options from the arguments; on kError, *error says what was wrong.
ParseResult ParseSimOptions(int argc, const char* const* argv, SimOptions* options,
                            std::string* error);

// The --help text.
std::string SimUsage();

// True where the simulator can make a pseudo-terminal pair of its own and map it into a
// Wine prefix (Linux); on Windows it always opens an existing COM port. Defined by the
// platform's line (sim_line_posix.cpp, sim_line_win32.cpp).
extern const bool kSimHasOwnLine;
