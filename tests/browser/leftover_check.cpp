// Run by CTest after all browser tests: fails when a browser started by the tests still runs or
// left its temporary directory behind.

#include <filesystem>
#include <iostream>
#include <string>

#include "browser/process_scan.hpp"

int main() {
  int problems = 0;
  for (const auto& p : vendro::testing::live_processes()) {
    const std::string& cmd = p.command_line;
    if (cmd.find("--remote-debugging-pipe") == std::string::npos) continue;
    if (cmd.find("vendro-chromium-") == std::string::npos &&
        cmd.find("vendro-test-") == std::string::npos) {
      continue;
    }
    std::cerr << "browser process left: " << p.pid << " " << cmd.substr(0, 200) << "\n";
    ++problems;
  }
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::temp_directory_path(), ec)) {
    if (entry.path().filename().string().starts_with("vendro-chromium-")) {
      std::cerr << "temporary browser directory left: " << entry.path() << "\n";
      ++problems;
    }
  }
  if (problems == 0) std::cout << "no browser process or temporary profile left\n";
  return problems == 0 ? 0 : 1;
}
