#pragma once
// Looks through /proc for browser processes, for the tests that prove none is left behind.

#include <sys/types.h>

#include <string>
#include <vector>

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

}  // namespace vendro::testing
