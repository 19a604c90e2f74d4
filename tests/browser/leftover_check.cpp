// Run by CTest around the browser tests. With --baseline (before them) it notes the Chromium
// temporary folders already in the temporary directory; afterwards it fails when a browser or a
// guard started by the tests still runs, or when they left a temporary directory behind.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>

#include "browser/process_scan.hpp"
#include "vendro/browser/process.hpp"

namespace fs = std::filesystem;

namespace {

// Chromium's own folders, left when a browser dies without a word.
std::set<std::string> chromium_folders() {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("org.chromium.Chromium.")) out.insert(name);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path baseline = VENDRO_LEFTOVER_BASELINE;
  if (argc > 1 && std::string(argv[1]) == "--baseline") {
    std::ofstream out(baseline);
    for (const auto& name : chromium_folders()) out << name << "\n";
    return out ? 0 : 1;
  }
  // Folders from before the tests are someone else's; without a baseline every one counts.
  std::set<std::string> before;
  std::ifstream in(baseline);
  for (std::string name; std::getline(in, name);) before.insert(name);

  int problems = 0;
  for (const auto& p : vendro::testing::live_processes()) {
    const std::string& cmd = p.command_line;
    const bool ours = cmd.find("vendro-chromium-") != std::string::npos ||
                      cmd.find("vendro-test-") != std::string::npos;
    if (!ours) continue;
    if (cmd.find("--remote-debugging-pipe") != std::string::npos) {
      std::cerr << "browser process left: " << p.pid << " " << cmd.substr(0, 200) << "\n";
      ++problems;
    } else if (cmd.find(vendro::browser::GUARD_NAME) != std::string::npos) {
      std::cerr << "guard process left: " << p.pid << " " << cmd.substr(cmd.rfind(' ') + 1) << "\n";
      ++problems;
    }
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    if (entry.path().filename().string().starts_with("vendro-chromium-")) {
      std::cerr << "temporary browser directory left: " << entry.path() << "\n";
      ++problems;
    }
  }
  for (const auto& name : chromium_folders()) {
    if (before.count(name)) continue;
    std::cerr << "Chromium temporary folder left: " << (fs::temp_directory_path() / name) << "\n";
    ++problems;
  }
  if (problems == 0) {
    std::cout << "no browser or guard process, temporary profile or Chromium folder left\n";
  }
  return problems == 0 ? 0 : 1;
}
