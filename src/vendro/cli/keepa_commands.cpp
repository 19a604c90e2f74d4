// `vendro keepa`: Keepa time conversion of one value, and of a whole Keepa payload.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "vendro/cli/groups.hpp"
#include "vendro/core/error.hpp"
#include "vendro/keepa/keepa_time.hpp"
#include "vendro/keepa/mapped_input.hpp"
#include "vendro/keepa/stream_convert.hpp"

namespace vendro::cli {

namespace {

// A command-line MINUTES as the JSON value it spells ("7654321", "123.5", "true"), or as text
// when it is no JSON scalar ("abc", " 7654321 ").
Json minutes_argument(const std::string& text) {
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded() || value.is_structured()) return text;
  return value;
}

Json time_result(const std::string& text) {
  const Json minutes = minutes_argument(text);
  try {
    Json result = Json::object();
    result["unix_seconds"] = keepa::keepa_minutes_to_unix_seconds(minutes);
    result["unix_milliseconds"] = keepa::keepa_minutes_to_unix_milliseconds(minutes);
    result["utc"] = keepa::keepa_minutes_to_utc_iso(minutes);
    return result;
  } catch (const keepa::KeepaValueError& e) {
    throw keepa::KeepaValueError(std::string("Keepa 时间无效：") + e.what());
  }
}

// The number of the SIGINT or SIGTERM that asked a conversion to stop, 0 before one came.
keepa::StopFlag stop_signal{0};

void note_stop_signal(int signal_number) {
  stop_signal.store(signal_number);
}

// While alive, SIGINT and SIGTERM only set stop_signal (unless they are ignored, as in a
// background job), and interrupt blocking reads and writes, so that the conversion can take
// back what it wrote before the process ends. finish() ends it the way the signal would have.
class StopOnSignals {
 public:
  StopOnSignals() {
    for (std::size_t i = 0; i < SIGNALS.size(); ++i) {
      struct sigaction action {};
      action.sa_handler = note_stop_signal;
      sigemptyset(&action.sa_mask);
      ::sigaction(SIGNALS[i], nullptr, &old_[i]);
      if (old_[i].sa_handler != SIG_IGN) ::sigaction(SIGNALS[i], &action, nullptr);
    }
  }
  ~StopOnSignals() {
    for (std::size_t i = 0; i < SIGNALS.size(); ++i) ::sigaction(SIGNALS[i], &old_[i], nullptr);
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  // After a stop signal: dies by it with its default action (exit status 128 + its number).
  [[noreturn]] static void finish() {
    const int signal_number = stop_signal.load();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
    ::_exit(128 + signal_number);
  }

 private:
  static constexpr std::array<int, 2> SIGNALS = {SIGINT, SIGTERM};
  std::array<struct sigaction, 2> old_{};
};

// Everything `fd` yields, for input that cannot be mapped (a pipe, a terminal).
std::string read_all(int fd, const std::string& what) {
  std::string input;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      if (stop_signal.load() != 0) throw keepa::KeepaInterrupted("读取" + what + "时被信号中断");
      continue;
    }
    if (n < 0) throw FileError("无法读取" + what + "（" + std::strerror(errno) + "）");
    if (n == 0) break;
    input.append(buffer, static_cast<std::size_t>(n));
  }
  return input;
}

// Converts `source` ("-": standard input) to `output`. A regular file (also as standard input)
// is mapped rather than read, so that a large payload need not be resident as a whole; pipes
// and the like are read into memory. The file is opened once, so that a named pipe is read by
// the same open that waited for its writer.
void convert_into(const std::string& source, keepa::FdOutput& output) {
  int fd = STDIN_FILENO;
  std::string what = "标准输入";
  if (source != "-") {
    while ((fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
      if (stop_signal.load() != 0) {
        throw keepa::KeepaInterrupted("打开文件：" + source + " 时被信号中断");
      }
    }
    if (fd < 0) throw FileError("无法读取文件：" + source + "（" + std::strerror(errno) + "）");
    what = "文件：" + source;
  }
  struct CloseOpened {
    int fd;
    ~CloseOpened() {
      if (fd >= 0) ::close(fd);
    }
  } close_opened{source != "-" ? fd : -1};
  if (std::optional<keepa::MappedInput> mapped = keepa::MappedInput::map(fd, what)) {
    keepa::convert_stream(*mapped, output, &stop_signal);
  } else {
    keepa::convert_stream(read_all(fd, what), output, &stop_signal);
  }
  output.write("\n");
}

// `vendro keepa convert`. SIGINT and SIGTERM leave standard output as an error does (a file is
// taken back to where writing began), then end the process as the signal would have.
void convert_payload(const std::string& source) {
  StopOnSignals stop_on_signals;
  keepa::FdOutput output(STDOUT_FILENO, "标准输出", &stop_signal);
  try {
    convert_into(source, output);
  } catch (const keepa::KeepaInterrupted&) {
    StopOnSignals::finish();
  } catch (...) {
    if (output.can_rewind()) output.rewind();  // e.g. the final line break failed
    if (stop_signal.load() != 0) StopOnSignals::finish();
    throw;
  }
  if (stop_signal.load() != 0) {
    // The signal came after the last byte: still leave nothing behind.
    if (output.can_rewind()) output.rewind();
    StopOnSignals::finish();
  }
}

}  // namespace

void add_keepa_commands(CLI::App& app, Action& selected) {
  CLI::App* group = app.add_subcommand(
      "keepa",
      "Keepa 时间换算：把 Keepa 的分钟时间（自 2011-01-01 00:00 UTC 起的分钟数）换算为 "
      "Unix 秒、Unix 毫秒和 UTC 时间。");
  group->require_subcommand(1);

  CLI::App* time = group->add_subcommand(
      "time", "换算一个 Keepa 分钟时间，输出 {\"unix_seconds\", \"unix_milliseconds\", \"utc\"}。");
  auto minutes = std::make_shared<std::string>();
  time->add_option("MINUTES", *minutes,
                   "Keepa 分钟时间：整数或小数（也可带引号的数字文本），例如 7654321 或 123.5")
      ->required();
  time->callback([&selected, minutes] {
    selected = [minutes]() -> std::optional<Json> { return time_result(*minutes); };
  });

  CLI::App* convert = group->add_subcommand(
      "convert",
      "转换 Keepa 接口返回的 JSON：在每个 Keepa 时间字段（如 lastUpdate、trackingSince）后面"
      "加上 …UnixSeconds、…UnixMilliseconds、…Utc 三个字段，并为 csv 价格历史加上 "
      "csvUnixSeconds。结果以缩进 2 的 JSON 写到标准输出；大文件也以流式处理。");
  auto source = std::make_shared<std::string>("-");
  convert->add_option("FILE", *source, "Keepa JSON 文件；省略或写 - 时读取标准输入");
  convert->callback([&selected, source] {
    selected = [source]() -> std::optional<Json> {
      convert_payload(*source);
      return std::nullopt;
    };
  });
}

}  // namespace vendro::cli
