#pragma once
// What vtl's commands come to, as values, and the one printer that renders them: lines
// for people on stdout (a failure's text on stderr), or with --json one JSON object per
// result (and per event of monitor and tap). The commands only fill in results.
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/unit_config.h"
#include "tools/vtl/json_writer.h"

enum ExitStatus { kExitDone = 0, kExitUnit = 1, kExitUsage = 2, kExitPort = 3 };

// A command that did not end well: its exit status, the JSON "result" word ("refused",
// "no answer", "port", ...) and the text for people.
struct Failure {
  int exit = kExitDone;
  const char* result = "";
  std::string message;
  explicit operator bool() const { return exit != kExitDone; }
};

struct ShowResult {
  std::string file;
  UnitConfig record{};
};

struct ReadResult {
  std::string firmware;     // "1.3"
  std::string dipSwitches;  // "1 on, 2 on, 3 on, 4 -, VF, v.22"
  UnitConfig record{};
  std::string savedTo;  // --save: the file written
  Failure saveFailure;  // --save: why the file could not be written (the record was read)
};

// write, default and set.
struct WriteResult {
  std::optional<UnitConfig> readFirst;  // set: the record read and changed
  UnitConfig written{};
  bool verified = false;  // --verify: the record was read back
  UnitConfig readBack{};
  std::vector<std::string> differences;  // what the read back differs in
};

struct TxResult {
  bool on = false;
};

class Printer {
 public:
  Printer(bool json, std::string command) : json(json), command(std::move(command)) {}
  ~Printer();

  // Monitor's log: every line printed is appended there too. False with *reason.
  bool OpenLog(const std::string& path, std::string* reason);

  // Reports a failure; returns its exit status.
  int Print(const Failure& failure);
  // Each returns the command's exit status.
  int Print(const ShowResult& result);
  int Print(const ReadResult& result);
  int Print(const WriteResult& result);
  int Print(const TxResult& result);
  int Print(const std::vector<std::string>& ports);

  // One line (or one JSON object), written whole and flushed, from whichever thread, so
  // that a reader of a pipe sees it at once: monitor's and tap's events.
  void Line(const std::string& text, const JsonObject& object);

  const bool json;

 private:
  void Report(const std::vector<std::string>& lines, const JsonObject& object);

  const std::string command;
  std::mutex mutex;
  FILE* log = nullptr;
};
