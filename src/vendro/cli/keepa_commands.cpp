// `vendro keepa`: Keepa time conversion of one value, and of a whole Keepa payload.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "vendro/cli/groups.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
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

std::string read_stdin() {
  std::string input;
  struct stat info {};
  if (::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    input.reserve(static_cast<std::size_t>(info.st_size) + 1);
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError(std::string("无法读取标准输入（") + std::strerror(errno) + "）");
    if (n == 0) break;
    input.append(buffer, static_cast<std::size_t>(n));
  }
  return input;
}

// A regular file (also as standard input) is mapped rather than read, so that a large payload
// need not be resident as a whole; pipes and the like are read into memory.
void convert_payload(const std::string& source) {
  keepa::FdOutput output(STDOUT_FILENO, "标准输出");
  std::optional<keepa::MappedInput> mapped = source == "-"
                                                 ? keepa::MappedInput::map(STDIN_FILENO, "标准输入")
                                                 : keepa::MappedInput::open(source);
  if (mapped) {
    keepa::convert_stream(*mapped, output);
  } else {
    keepa::convert_stream(source == "-" ? read_stdin() : files::read(source), output);
  }
  output.write("\n");
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
