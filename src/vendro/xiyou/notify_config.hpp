#pragma once
// The configuration of the Xiyou (西柚) token alerts: a small local YAML file, named by the Xiyou
// settings, that says which WeCom (企业微信) group robot to post to and whom to mention:
//
//   wechat_work:
//     webhook_url: https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=...
//   quick_login_url: https://ops.example/xiyou/login
//   dedupe_minutes: 5
//   mentions:
//     mentioned_list: [zhangsan]
//     mentioned_mobile_list: [13800138000]
//     mention_all: false
//
// Loosely typed values are cleaned, never rejected: an unusable value falls back to its default.
// The file is read afresh on every load; nothing is cached. All functions are safe to call from
// several threads.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "vendro/core/json.hpp"
#include "vendro/xiyou/settings.hpp"

namespace vendro::xiyou {

inline constexpr long long DEFAULT_DEDUPE_MINUTES = 5;
inline constexpr const char* STATE_FILE_NAME = "notify_state.json";

// 西柚补登通知配置。Immutable; equal fields make equal records.
struct XiyouNotifyConfig {
  const std::filesystem::path path;  // the configuration file, "~" already expanded
  const std::optional<std::string> webhook_url;
  const std::vector<std::string> mentioned_list;  // "@all" mentions everyone
  const std::vector<std::string> mentioned_mobile_list;
  const bool mention_all = false;
  const std::optional<std::string> quick_login_url;
  const long long dedupe_minutes = DEFAULT_DEDUPE_MINUTES;
  const std::string source = "local";

  // True when a webhook address is configured.
  bool enabled() const { return webhook_url && !webhook_url->empty(); }
  // The de-duplication state file: "notify_state.json" beside the configuration file.
  std::filesystem::path state_path() const { return path.parent_path() / STATE_FILE_NAME; }

  Json to_json() const;
  bool operator==(const XiyouNotifyConfig&) const = default;
};

// The configuration named by `settings` (by load_settings() when not given). A missing or empty
// file gives a disabled record with every default. Throws FileError when the file cannot be
// read and yaml::YamlError when it is malformed or holds a non-core tag.
XiyouNotifyConfig load_notify_config(const std::optional<XiyouSettings>& settings = std::nullopt);

// The loader proper, for callers that already hold the settings.
XiyouNotifyConfig load_local_notify_config(const XiyouSettings& settings);

// `path` with a leading "~" (alone or followed by "/") replaced by the home directory.
std::filesystem::path expand_user(const std::filesystem::path& path);

// The YAML file at `path` as a map: empty when the file is missing or its top level is not a
// map. Read and parse errors propagate.
Json read_yaml(const std::filesystem::path& path);

// The text form of a YAML value: text as it is, integers in decimal, floats in their shortest
// round-trip form (1.5, 100.0, 1e+16), "True"/"False", "None"; lists and maps as compact JSON.
std::string text_form(const Json& value);

// Text → stripped one-element list (empty when blank); list → the stripped text form of each
// element, blanks dropped, duplicates kept; anything else → empty.
std::vector<std::string> string_tuple(const Json& value);

// null → nothing; else the stripped text form, nothing when blank.
std::optional<std::string> optional_str(const Json& value);

// `value` as an integer: integers as they are, booleans 1/0, floats truncated toward zero, text
// in base 10 with surrounding white space, a sign and single "_" between digits ("+15 ", "1_5").
// Nothing for anything else, and for values outside the 64-bit range.
std::optional<long long> to_integer(const Json& value);

// to_integer(value) when that is greater than 0, else `fallback`.
long long positive_int(const Json& value, long long fallback);

}  // namespace vendro::xiyou
