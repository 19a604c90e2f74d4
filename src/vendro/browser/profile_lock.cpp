#include "vendro/browser/profile_lock.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "vendro/browser/errors.hpp"

namespace vendro::browser {

namespace fs = std::filesystem;

namespace {

std::string host_name() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

bool process_alive(pid_t pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

void check_profile_lock(const fs::path& profile_dir) {
  const fs::path lock = profile_dir / "SingletonLock";
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(lock, ec))) return;
  const std::string target = fs::read_symlink(lock, ec).string();
  if (ec) return;
  const auto dash = target.rfind('-');
  if (dash == std::string::npos) return;
  const std::string host = target.substr(0, dash);
  pid_t pid = 0;
  try {
    pid = static_cast<pid_t>(std::stol(target.substr(dash + 1)));
  } catch (const std::exception&) {
    return;
  }
  if (host != host_name()) return;
  if (process_alive(pid)) {
    throw ProfileInUseError("浏览器配置目录正被另一个浏览器使用（profile in use，进程 " +
                            std::to_string(pid) + "）：" + profile_dir.string() +
                            "。请先关闭那个浏览器窗口，再重试。");
  }
  for (const char* name : {"SingletonLock", "SingletonSocket", "SingletonCookie"}) {
    fs::remove(profile_dir / name, ec);
  }
}

}  // namespace vendro::browser
