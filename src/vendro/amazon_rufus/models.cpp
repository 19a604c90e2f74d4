#include "vendro/amazon_rufus/models.hpp"

#include <limits>

#include "vendro/core/files.hpp"
#include "vendro/core/text.hpp"

namespace vendro::amazon_rufus {

namespace {

// Names from a file may be anything; messages show a bounded prefix.
std::string shown_name(std::string_view name) {
  return "\"" + text::first_code_points(name, 64) + "\"";
}

const Json& member(const Json& object, const char* name, bool (Json::*is_kind)() const noexcept,
                   const char* kind) {
  auto found = object.find(name);
  if (found == object.end()) throw InputError("seed 记录缺少字段 " + shown_name(name));
  if (!((*found).*is_kind)()) {
    throw InputError("seed 记录的字段 " + shown_name(name) + " 必须是" + kind);
  }
  return *found;
}

std::string text_member(const Json& object, const char* name) {
  return member(object, name, &Json::is_string, "文本").get<std::string>();
}

HeaderList headers_member(const Json& object) {
  HeaderList headers;
  for (const auto& [name, value] :
       member(object, "request_headers", &Json::is_object, "对象").items()) {
    if (!value.is_string()) {
      throw InputError("seed 记录的字段 \"request_headers\" 中 " + shown_name(name) +
                       " 的值必须是文本");
    }
    headers.emplace_back(name, value.get<std::string>());
  }
  return headers;
}

std::int64_t time_member(const Json& object) {
  const Json& value = member(object, "captured_at", &Json::is_number_integer, "整数");
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
    throw InputError("seed 记录的字段 \"captured_at\" 超出范围");
  }
  return value.get<std::int64_t>();
}

}  // namespace

Json SeedRequestRecord::to_json() const {
  Json headers = Json::object();
  for (const auto& [name, value] : request_headers) headers[name] = value;
  return Json{{"request_url", request_url},
              {"request_headers", std::move(headers)},
              {"request_body", request_body},
              {"page_url", page_url},
              {"tab_id", tab_id},
              {"asin", asin},
              {"country", country},
              {"captured_at", captured_at}};
}

SeedRequestRecord SeedRequestRecord::from_json(const Json& value) {
  if (!value.is_object()) throw InputError("seed 记录必须是 JSON 对象");
  return {
      .request_url = text_member(value, "request_url"),
      .request_headers = headers_member(value),
      .request_body = text_member(value, "request_body"),
      .page_url = text_member(value, "page_url"),
      .tab_id = text_member(value, "tab_id"),
      .asin = text_member(value, "asin"),
      .country = text_member(value, "country"),
      .captured_at = time_member(value),
  };
}

void save_seed(const SeedRequestRecord& seed, const std::filesystem::path& file) {
  using std::filesystem::perms;
  files::write_atomic(file, to_pretty_json(seed.to_json()) + "\n",
                      perms::owner_read | perms::owner_write);
}

SeedRequestRecord load_seed(const std::filesystem::path& file) {
  // A seed is a few kilobytes; 1 MiB is far beyond any real one.
  const Json value = parse_json(files::read(file, files::SETTINGS_FILE_LIMIT), file.string());
  try {
    return SeedRequestRecord::from_json(value);
  } catch (const InputError& e) {
    std::throw_with_nested(InputError("seed 文件 " + file.string() + " 无效：" + e.what()));
  }
}

Json AnswerData::to_json() const {
  return Json{{"text", text}, {"thread_id", thread_id ? Json(*thread_id) : Json()}, {"raw", raw}};
}

}  // namespace vendro::amazon_rufus
