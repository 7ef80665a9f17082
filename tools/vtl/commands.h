#pragma once
// vtl's commands over one port, each returning the program's exit status:
// 0 done; 1 the unit refused (NAK), did not answer within the window, or a --verify
// found a difference; 2 a usage error or a bad file; 3 the port could not be opened or
// was lost during the command.
#include <cstdint>
#include <string>
#include <vector>

#include "config/unit_config.h"
#include "tools/vtl/report.h"

struct CommonOptions {
  std::string port;
  uint32_t timeoutMs = 1000;  // the answer window, the window's own 1000 ms by default
  bool json = false;
};

struct MonitorOptions {
  bool respond = false;
  bool wide = false;
  bool indicationsGiven = false;
  uint8_t indications[8] = {};
  std::string logFile;
};

int RunRead(const CommonOptions& options, const std::string& saveFile);
int RunShow(const CommonOptions& options, const std::string& file);
int RunWrite(const CommonOptions& options, const std::string& command, const UnitConfig& record,
             bool verify);
int RunSet(const CommonOptions& options, const std::vector<std::string>& assignments,
           bool verify);
int RunTx(const CommonOptions& options, bool on);
int RunMonitor(const CommonOptions& options, const MonitorOptions& monitor);
int RunTap(const CommonOptions& options, const std::string& toolPort,
           const std::string& unitPort);
int RunPorts(const CommonOptions& options);

// Prints a usage error (text to stderr, or a JSON object with --json) and returns 2.
int UsageError(const CommonOptions& options, const std::string& command,
               const std::string& message);

// Loads a .vtl file; on failure prints why (its size when it is the wrong size).
bool LoadRecordFile(const CommonOptions& options, const std::string& command,
                    const std::string& file, UnitConfig* record, int* exitStatus);
