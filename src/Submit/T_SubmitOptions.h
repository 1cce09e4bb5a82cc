// SPDX-License-Identifier: Apache-2.0
// TSubmitOptions: what one run of kelvra-submit was asked to do, read from
// its command line, and the --help text that describes it. Parsing checks
// everything that can be checked without touching a file or the network.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kelvra/kelvra_client.h"

struct TSubmitOptions {
  std::vector<kelvra::TAgentAddress> Agents;
  std::string Monitor;  // HOST[:PORT] of a monitor whose agents join Agents; empty: none
  std::vector<std::string> LibraryPaths;  // the task library first, then its companions
  std::string Procedure;
  std::vector<std::pair<std::string, std::string>> Data;  // identifier, file
  bool Compress = false;
  std::string OutputFolder;  // empty: OutputFile, or standard output
  std::string OutputFile;    // the results in input order; empty: OutputFolder, or standard output
  std::string Journal;       // empty: none
  bool Resume = false;
  bool RetryFailed = false;
  // Inputs read and not yet written at most: tasks out on the grid, and
  // results held back until those before them are written.
  size_t MaxPending = 10000;
  int MaxAttempts = 3;
  double SpeculateAfterSeconds = 0;  // 0: off
  uint16_t DataPort = kelvra::kDefaultDataPort;
  bool DataPortGiven = false;
  bool Local = false;
  std::string AgentBinary;  // --local: empty to find kelvra-agent
  std::vector<std::string> Inputs;  // file paths; "-" for the lines of standard input
  bool Help = false;
  bool Version = false;

  // Reads `arguments` (without the program name). Answers the usage error,
  // empty when the line is sound (or asks for --help or --version).
  std::string Parse(const std::vector<std::string>& arguments);

  static const char* HelpText();
};
