#include "vendro/sif/client.hpp"

#include <exception>

#include "vendro/core/files.hpp"
#include "vendro/core/http_client.hpp"
#include "vendro/core/text.hpp"
#include "vendro/sif/errors.hpp"

namespace vendro::sif {

namespace {

std::string base64(std::string_view in) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned n = (static_cast<unsigned char>(in[i]) << 16) |
                 (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    out += ALPHABET[(n >> 18) & 63];
    out += ALPHABET[(n >> 12) & 63];
    out += ALPHABET[(n >> 6) & 63];
    out += ALPHABET[n & 63];
  }
  if (std::size_t rest = in.size() - i; rest > 0) {
    unsigned n = static_cast<unsigned char>(in[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += ALPHABET[(n >> 18) & 63];
    out += ALPHABET[(n >> 12) & 63];
    out += rest == 2 ? ALPHABET[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string join_url(std::string_view base, std::string_view path) {
  while (base.ends_with('/')) base.remove_suffix(1);
  std::string url(base);
  if (!path.starts_with('/')) url += '/';
  url += path;
  return url;
}

// How much of a downloaded answer is read back to explain an error.
constexpr std::size_t ERROR_HEAD_BYTES = 64 << 10;

// True when the answer starts like a JSON document (errors come as JSON, workbooks as ZIP).
bool looks_like_json(std::string_view body) {
  std::string head = text::strip(body.substr(0, 16));
  return head.starts_with('{') || head.starts_with('[');
}

// The body parsed as JSON when it is a usable JSON document, else null.
Json json_answer(const std::string& body) {
  if (!looks_like_json(body)) return nullptr;
  try {
    Json parsed = try_parse_json(body, "Sif 的答复");
    return parsed.is_discarded() ? Json(nullptr) : parsed;
  } catch (const JsonError&) {
    return nullptr;  // beyond the bounds: shown as the text it is
  }
}

// The first bytes of the downloaded answer, to explain an error.
std::string answer_head(const std::filesystem::path& file) {
  try {
    return files::read_head(file, ERROR_HEAD_BYTES);
  } catch (const std::exception&) {
    return "";
  }
}

// What the service said, for the operator: its message field when it has one.
std::string server_message(const std::string& body) {
  Json answer = json_answer(body);
  std::string message;
  if (answer.is_object()) {
    for (const char* key : {"message", "msg", "error", "errMsg", "error_description"}) {
      if (answer.contains(key) && answer[key].is_string()) {
        message = answer[key].get<std::string>();
        break;
      }
    }
    if (answer.contains("code") && !answer["code"].is_null()) {
      std::string code =
          answer["code"].is_string() ? answer["code"].get<std::string>() : answer["code"].dump();
      message = message.empty() ? "代码 " + code : message + "（代码 " + code + "）";
    }
  }
  if (message.empty()) message = !answer.is_null() ? to_compact_json(answer) : body;
  message = text::strip(message);
  if (message.empty()) return "（无内容）";
  if (text::length(message) > 200) message = text::first_code_points(message, 200) + "…";
  if (!text::is_valid_utf8(message)) return "（无法显示的内容）";
  return message;
}

}  // namespace

SifApiClient::SifApiClient(SifApiClientOptions options)
    : settings_(options.settings ? std::move(*options.settings) : load_settings()),
      timeout_(options.timeout.value_or(DEFAULT_SIF_TIMEOUT)) {}

std::uintmax_t SifApiClient::download_post(std::string_view path, const Json& payload,
                                           std::string_view country,
                                           const std::filesystem::path& file) const {
  const bool has_user = !settings_.username.empty();
  const bool has_password = !settings_.password.empty();
  if (has_user != has_password) {
    throw SifConfigError(has_user ? "已设置 Sif 用户名但缺少密码，请同时提供用户名和密码。"
                                  : "已设置 Sif 密码但缺少用户名，请同时提供用户名和密码。");
  }

  http::Request request{
      .method = "POST",
      .url = join_url(settings_.base_url, path) + "?country=" + std::string(country),
      .timeout = timeout_,
      .max_response_bytes = SIF_DOWNLOAD_LIMIT,
      .response_file = file};
  request.json_body(payload);
  request.headers.emplace_back("Accept",
                               "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet, "
                               "application/json");
  if (has_user) {
    request.headers.emplace_back("Authorization",
                                 "Basic " + base64(settings_.username + ":" + settings_.password));
  } else if (!settings_.token.empty()) {
    request.headers.emplace_back("Authorization", "Bearer " + settings_.token);
  }
  if (!settings_.cookie.empty()) request.headers.emplace_back("Cookie", settings_.cookie);

  const std::string where = http::redact_url(request.url);
  struct RemoveUnlessKept {
    const std::filesystem::path& file;
    bool keep = false;
    ~RemoveUnlessKept() {
      std::error_code ec;
      if (!keep) std::filesystem::remove(file, ec);
    }
  } cleanup{file};
  http::Response response;
  try {
    response = http::send(request);
  } catch (const FileError&) {
    throw;
  } catch (const http::ResponseTooLargeError&) {
    std::throw_with_nested(SifApiError("Sif 返回的内容过大（超过 " +
                                       files::describe_size(SIF_DOWNLOAD_LIMIT) + "）（" + where +
                                       "）。"));
  } catch (const http::TimeoutError&) {
    std::throw_with_nested(
        SifApiError("Sif 服务响应超时（" + where + "），请稍后重试或调大超时。"));
  } catch (const std::exception&) {
    std::throw_with_nested(
        SifApiError("无法连接 Sif 服务（" + where + "），请检查网络和地址设置。"));
  }

  const std::string head = answer_head(file);
  if (response.status == 401 || response.status == 403) {
    throw SifApiError("Sif 拒绝了请求（HTTP " + std::to_string(response.status) +
                      "）：请检查 Sif 的 cookie、token 或账号密码是否有效（" + where + "）。" +
                      "服务返回：" + server_message(head));
  }
  if (!response.ok()) {
    throw SifApiError("Sif 服务返回错误 HTTP " + std::to_string(response.status) + "（" + where +
                      "）：" + server_message(head));
  }
  if (looks_like_json(head)) {
    throw SifApiError("Sif 没有返回表格，而是返回了错误（" + where + "）：" + server_message(head));
  }
  std::error_code ec;
  auto size = std::filesystem::file_size(file, ec);
  if (ec) throw FileError("无法读取下载的表格：" + file.string() + "（" + ec.message() + "）");
  cleanup.keep = true;
  return size;
}

}  // namespace vendro::sif
