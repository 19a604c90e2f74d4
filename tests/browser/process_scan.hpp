#pragma once
// Looks through /proc for browser processes, for the tests that prove none is left behind.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace vendro::testing {

struct ProcessInfo {
  pid_t pid = 0;
  pid_t group = 0;
  char state = '?';
  std::string command_line;  // arguments joined by spaces
};

// Every process that is not a zombie.
std::vector<ProcessInfo> live_processes();

// Live processes in process group `group`, or whose command line contains `text`.
std::vector<ProcessInfo> live_processes_of(pid_t group, const std::string& text);

// A shell script standing in for a browser, DIR/NAME, executable: `body` runs with $PIDS naming
// the file DIR/NAME.pids, where it notes its own pid ("echo $$ >> \"$PIDS\"") and its children's.
std::filesystem::path write_script(const TempDir& dir, const std::string& name,
                                   const std::string& body);
// "pid command line" of each live process a script noted, or in the process group of one.
std::vector<std::string> survivors(const TempDir& dir, const std::string& name);
// True once none of them lives (a SIGKILLed process takes a moment to go), within a second.
bool none_survive(const TempDir& dir, const std::string& name);

}  // namespace vendro::testing
