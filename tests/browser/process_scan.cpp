#include "browser/process_scan.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

namespace vendro::testing {

namespace {

// A /proc file read whole; empty when the process went away meanwhile (the read then fails with
// ESRCH, which a stream would throw for).
std::string read_proc_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace

std::vector<ProcessInfo> live_processes() {
  std::vector<ProcessInfo> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_proc_file(entry.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    ProcessInfo info;
    info.pid = static_cast<pid_t>(std::stol(name));
    pid_t parent = 0;
    fields >> info.state >> parent >> info.group;
    if (info.state == 'Z' || info.state == 'X') continue;
    std::string cmd = read_proc_file(entry.path() / "cmdline");
    for (char& c : cmd) {
      if (c == '\0') c = ' ';
    }
    info.command_line = cmd;
    out.push_back(info);
  }
  return out;
}

std::vector<ProcessInfo> live_processes_of(pid_t group, const std::string& text) {
  std::vector<ProcessInfo> out;
  for (const auto& p : live_processes()) {
    if ((group > 0 && p.group == group) ||
        (!text.empty() && p.command_line.find(text) != std::string::npos)) {
      out.push_back(p);
    }
  }
  return out;
}

std::filesystem::path write_script(const TempDir& dir, const std::string& name,
                                   const std::string& body) {
  const auto path = dir / name;
  write_file(path, "#!/bin/sh\nPIDS='" + (dir / (name + ".pids")).string() + "'\n" + body);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

std::vector<std::string> survivors(const TempDir& dir, const std::string& name) {
  std::set<pid_t> noted;
  std::ifstream in(dir / (name + ".pids"));
  for (pid_t pid; in >> pid;) noted.insert(pid);
  std::vector<std::string> out;
  for (const auto& p : live_processes()) {
    if (noted.count(p.pid) || noted.count(p.group)) {
      out.push_back(std::to_string(p.pid) + " " + p.command_line);
    }
  }
  return out;
}

bool none_survive(const TempDir& dir, const std::string& name) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!survivors(dir, name).empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace vendro::testing
