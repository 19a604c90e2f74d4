#include "vendro/shared/update_check.hpp"

#include <unistd.h>

#include <iostream>
#include <limits>
#include <system_error>

#include "vendro/core/environment.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/http_client.hpp"
#include "vendro/core/text.hpp"

namespace vendro::shared {

namespace update_check {

namespace {

std::uint64_t parse_piece(std::string_view piece) {
  if (piece.empty()) return 0;
  std::uint64_t value = 0;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  for (char c : piece) {
    if (c < '0' || c > '9') return 0;
    auto digit = static_cast<std::uint64_t>(c - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return value;
}

double unix_now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

enum class Style { kYellow, kDim, kCyan };

void write_line(std::ostream& out, Style style, const std::string& line, bool colour) {
  if (colour) {
    switch (style) {
      case Style::kYellow:
        out << "\x1b[33m";
        break;
      case Style::kDim:
        out << "\x1b[2m";
        break;
      case Style::kCyan:
        out << "\x1b[36m";
        break;
    }
    out << line << "\x1b[0m\n";
  } else {
    out << line << "\n";
  }
}

}  // namespace

VersionTuple parse_version(std::string_view version) {
  std::string stripped = text::strip(version);
  std::string_view rest = stripped;
  if (rest.starts_with('v')) rest.remove_prefix(1);
  VersionTuple parts{0, 0, 0};
  for (std::size_t index = 0; index < parts.size(); ++index) {
    auto dot = rest.find('.');
    parts[index] = parse_piece(rest.substr(0, dot));
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return parts;
}

std::string metadata_url() {
  std::string base =
      get_env("VENDRO_PACKAGE_INDEX_URL").value_or(std::string(DEFAULT_PACKAGE_INDEX_URL));
  while (base.ends_with('/')) base.pop_back();
  return base + std::string(PACKAGE_METADATA_PATH);
}

std::filesystem::path cache_file() {
  return config_dir() / UPDATE_CACHE_FILE_NAME;
}

std::optional<Json> read_cache() {
  const auto path = cache_file();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return std::nullopt;
  Json cache = try_parse_json(files::read(path, files::SETTINGS_FILE_LIMIT), path.string());
  if (!cache.is_object() || !cache.contains("latest_version") || !cache.contains("checked_at")) {
    return std::nullopt;
  }
  const Json& checked_at = cache["checked_at"];
  if (!checked_at.is_number()) return std::nullopt;
  if (unix_now() - checked_at.get<double>() >= static_cast<double>(UPDATE_CACHE_TTL.count())) {
    return std::nullopt;
  }
  return cache;
}

std::string format_cache(std::string_view latest_version, double checked_at) {
  auto ascii = [](const Json& value) {
    return value.dump(-1, ' ', /*ensure_ascii=*/true, Json::error_handler_t::replace);
  };
  return "{\"latest_version\": " + ascii(std::string(latest_version)) +
         ", \"checked_at\": " + ascii(checked_at) + "}";
}

void write_cache(std::string_view latest_version) {
  files::make_dirs(config_dir());
  files::write_atomic(cache_file(), format_cache(latest_version, unix_now()));
}

std::optional<std::string> fetch_latest_version() {
  try {
    http::Request request{.url = metadata_url(),
                          .timeout = UPDATE_FETCH_TIMEOUT,
                          .max_response_bytes = UPDATE_METADATA_LIMIT};
    request.headers.emplace_back("Accept", "application/json");
    const http::Response response = http::send(request);
    if (!response.ok()) return std::nullopt;
    const Json doc = parse_json(response.body, "版本信息");
    if (!doc.is_object()) return std::nullopt;
    auto info = doc.find("info");
    if (info == doc.end() || !info->is_object()) return std::nullopt;
    auto version = info->find("version");
    if (version == info->end() || !version->is_string()) return std::nullopt;
    return version->get<std::string>();
  } catch (...) {
    return std::nullopt;
  }
}

void print_update_hint(std::ostream& out, std::string_view current, std::string_view latest,
                       bool colour) {
  out << "\n";
  write_line(out, Style::kYellow,
             "vendro 有新版本可用，建议更新最新版本: v" + text::terminal_safe(current, false) +
                 " → v" + text::terminal_safe(latest, false),
             colour);
  write_line(out, Style::kDim, "请按以下步骤更新：", colour);
  write_line(out, Style::kCyan, "  1. pip install --upgrade taluno-vendro", colour);
  write_line(out, Style::kCyan, "  2. vendro skills install --force", colour);
  write_line(out, Style::kCyan, "  3. vendro skills upgrade", colour);
  out << "\n";
  out.flush();
}

void print_update_hint(std::string_view current, std::string_view latest) {
  print_update_hint(std::cerr, current, latest, stderr_wants_colour());
  // A closed or broken stderr must not leave the stream failed for the command that follows.
  std::cerr.clear();
}

bool stderr_wants_colour() {
  if (get_env("NO_COLOR")) return false;
  if (get_env("TERM") == "dumb") return false;
  return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace update_check

bool is_newer_available(std::string_view current, std::string_view latest) {
  return update_check::parse_version(current) < update_check::parse_version(latest);
}

void check_and_notify() noexcept {
  check_and_notify(UpdateCheckOptions{});
}

void check_and_notify(const UpdateCheckOptions& options) noexcept {
  using namespace update_check;
  try {
    const std::string current = options.current_version.value_or(get_version());
    auto hint = [&](const std::string& latest) {
      if (options.hint_stream != nullptr) {
        print_update_hint(*options.hint_stream, current, latest, options.colour);
      } else {
        print_update_hint(current, latest);
      }
    };

    if (auto cached = read_cache(); cached && truthy(*cached)) {
      // A cached version that is not text ends the check here (get_ref throws), like any other
      // unusable answer; the index is not asked while the cache is fresh.
      const auto& latest = (*cached)["latest_version"].get_ref<const std::string&>();
      if (is_newer_available(current, latest)) hint(latest);
      return;
    }

    auto latest = fetch_latest_version();
    if (!latest) return;
    write_cache(*latest);
    if (is_newer_available(current, *latest)) hint(*latest);
  } catch (...) {
    // The update check must never disturb the command it runs in front of.
  }
}

}  // namespace vendro::shared
