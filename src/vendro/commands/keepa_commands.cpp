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

#include "vendro/commands/groups.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
#include "vendro/keepa/keepa_time.hpp"
#include "vendro/keepa/mapped_input.hpp"
#include "vendro/keepa/stream_convert.hpp"

namespace vendro::commands {

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

// Converts `source` to the file descriptor `fd` on a terminal. SIGINT and SIGTERM leave the
// output as an error does (a file is taken back to where writing began), then end the process as
// the signal would have.
void convert_to_fd(const std::string& source, int fd) {
  StopOnSignals stop_on_signals;
  keepa::FdOutput output(fd, "标准输出", &stop_signal);
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

// The converted document written into a sink that is no file descriptor (a tool call's result).
class SinkOutput final : public keepa::ConvertOutput {
 public:
  explicit SinkOutput(OutputSink& sink) : sink_(sink) {}
  void write(std::string_view bytes) override { sink_.write(bytes); }
  bool can_rewind() const override { return sink_.can_rewind(); }
  void rewind() override { sink_.rewind(); }

 private:
  OutputSink& sink_;
};

// For a tool call: the process and its signals are the server's, and standard input is the
// protocol's, so the source must be a file. A cancelled call stops the conversion.
void convert_for_tool(const std::string& source, Context& context) {
  if (source == "-") throw InputError("工具调用不能读取标准输入：请给出 Keepa JSON 文件的路径");
  keepa::StopFlag stop{0};
  std::shared_ptr<void> registration;
  if (context.on_cancel) registration = context.on_cancel([&stop] { stop.store(SIGTERM); });
  SinkOutput output(context.output);
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileError("无法读取文件：" + source + "（" + std::strerror(errno) + "）");
  struct CloseOpened {
    int fd;
    ~CloseOpened() { ::close(fd); }
  } close_opened{fd};
  const std::string what = "文件：" + source;
  if (std::optional<keepa::MappedInput> mapped = keepa::MappedInput::map(fd, what)) {
    keepa::convert_stream(*mapped, output, &stop);
  } else {
    keepa::convert_stream(files::read(source, files::ARGUMENT_FILE_LIMIT), output, &stop);
  }
}

}  // namespace

void add_keepa_commands(Table& table) {
  table.groups.push_back(
      {.path = {"keepa"},
       .description =
           "Keepa 时间换算：把 Keepa 的分钟时间（自 2011-01-01 00:00 UTC 起的分钟数）换算为 "
           "Unix 秒、Unix 毫秒和 UTC 时间。"});

  table.commands.push_back({
      .path = {"keepa", "time"},
      .summary =
          "换算一个 Keepa 分钟时间，输出 {\"unix_seconds\", \"unix_milliseconds\", \"utc\"}。",
      .params = {{.name = "minutes",
                  .help = "Keepa 分钟时间：整数或小数（也可带引号的数字文本），例如 7654321 或 "
                          "123.5",
                  .required = true,
                  .positional = true,
                  .schema = {{"type", {"string", "number"}}}}},
      .effects = {.read_only = true, .idempotent = true},
      .output_schema = {{"type", "object"},
                        {"properties",
                         {{"unix_seconds", {{"type", "number"}}},
                          {"unix_milliseconds", {{"type", "number"}}},
                          {"utc", {{"type", "string"}}}}},
                        {"required", {"unix_seconds", "unix_milliseconds", "utc"}}},
      .run = [](const Arguments& args,
                Context& context) { context.output.put(time_result(args.text("minutes"))); },
  });

  table.commands.push_back({
      .path = {"keepa", "convert"},
      .summary = "转换 Keepa 接口返回的 JSON，为每个 Keepa 时间字段加上换算后的字段。",
      .description =
          "在每个 Keepa 时间字段（如 lastUpdate、trackingSince）后面加上 …UnixSeconds、"
          "…UnixMilliseconds、…Utc 三个字段，并为 csv 价格历史加上 csvUnixSeconds。结果以缩进 2 "
          "的 JSON 写到标准输出；大文件也以流式处理。",
      .params = {{.name = "file",
                  .help = "Keepa JSON 文件；省略或写 - 时读取标准输入（工具调用须给出文件路径）",
                  .default_value = "-",
                  .positional = true}},
      .effects = {.read_only = true, .idempotent = true},
      .run =
          [](const Arguments& args, Context& context) {
            const std::string source = args.text("file");
            if (context.front == Front::terminal && context.output.file_descriptor() >= 0) {
              convert_to_fd(source, context.output.file_descriptor());
            } else {
              convert_for_tool(source, context);
            }
          },
  });
}

}  // namespace vendro::commands
