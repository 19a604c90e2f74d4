#include "vendro/shared/file_upload.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "vendro/core/environment.hpp"
#include "vendro/core/text.hpp"
#include "vendro/shared/error_message.hpp"
#include "vendro/shared/mime_types.hpp"
#include "vendro/shared/request_context.hpp"

namespace vendro::shared {

namespace {

std::string setting(const std::string& given, const char* env_name, const char* fallback) {
  if (!given.empty()) return given;
  return get_env(env_name).value_or(fallback);
}

// Lays `extra` over `base`: an entry of the same name (exact case) is replaced.
void update_headers(http::NameValues& base, const http::NameValues& extra) {
  for (const auto& [name, value] : extra) {
    bool replaced = false;
    for (auto& entry : base) {
      if (entry.first == name) {
        entry.second = value;
        replaced = true;
      }
    }
    if (!replaced) base.emplace_back(name, value);
  }
}

bool is_accepted_business_code(const Json& code) {
  if (code.is_string()) {
    const auto& text = code.get_ref<const std::string&>();
    return text == "0" || text == "200" || text == "201";
  }
  if (code.is_boolean()) return !code.get<bool>();  // false counts as 0
  if (code.is_number()) {
    double value = code.get<double>();
    return value == 0 || value == 200 || value == 201;
  }
  return false;
}

// The public flag as the service understands it, "0" or "1" (white space around is dropped).
// `source` names where the value came from in the error for anything else.
std::string checked_public_flag(const std::string& value, const std::string& source) {
  std::string flag = text::strip(value);
  if (flag != "0" && flag != "1") {
    throw FileUploadError(source + " 只能是 0（不公开）或 1（公开），收到：「" + value + "」");
  }
  return flag;
}

// Fails early with a clear message when the file exists but cannot be read (a directory, no
// permission), instead of a transport error halfway through the request.
void check_readable(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int err = errno;
  if (fd >= 0) {
    char probe;
    bool readable = ::read(fd, &probe, 1) >= 0;
    err = errno;
    ::close(fd);
    if (readable) return;
  }
  throw FileError("无法读取上传文件：" + path.string() + "（" + std::strerror(err) + "）");
}

}  // namespace

FileUploadClient::FileUploadClient(Options options)
    : endpoint_(setting(options.endpoint, ENV_FILE_UPLOAD_ENDPOINT, DEFAULT_ENDPOINT)),
      file_field_(setting(options.file_field, ENV_FILE_UPLOAD_FIELD, DEFAULT_FILE_FIELD)),
      folder_(setting(options.folder, ENV_FILE_UPLOAD_FOLDER, DEFAULT_FOLDER)),
      public_(checked_public_flag(setting(options.public_, ENV_FILE_UPLOAD_PUBLIC, DEFAULT_PUBLIC),
                                  options.public_.empty() ? ENV_FILE_UPLOAD_PUBLIC : "public")),
      auth_client_(options.auth_client.value_or(AuthClient())),
      jwt_(std::move(options.jwt)),
      session_id_(std::move(options.session_id)),
      timeout_(options.timeout) {}

RequestAuth FileUploadClient::get_auth(const std::string& alias) const {
  http::NameValues mcp_headers = get_mcp_request_headers();
  bool has_jwt = jwt_ && !jwt_->empty();
  if (session_id_ && !session_id_->empty()) {
    std::string token = has_jwt ? *jwt_ : auth_client_.get_token_by_session(*session_id_, alias);
    RequestAuth auth{.headers = {{"Authorization", "Bearer " + token}},
                     .cookies = {{SESSION_COOKIE, *session_id_}}};
    update_headers(auth.headers, mcp_headers);
    return auth;
  }
  if (has_jwt) {
    RequestAuth auth{.headers = {{"Authorization", "Bearer " + *jwt_}}};
    update_headers(auth.headers, mcp_headers);
    return auth;
  }
  if (has_mcp_api_key(mcp_headers)) return RequestAuth{.headers = mcp_headers};
  RequestAuth auth = auth_client_.build_request_auth(alias);
  update_headers(auth.headers, mcp_headers);
  return auth;
}

FileUploadResult FileUploadClient::upload(const std::filesystem::path& path,
                                          const UploadOptions& options) const {
  if (endpoint_.empty()) throw FileUploadError(std::string("缺少 ") + ENV_FILE_UPLOAD_ENDPOINT);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    throw FileUploadError("上传文件不存在：" + path.string());
  }
  check_readable(path);
  RequestAuth auth = get_auth(OPS_ALIAS);

  http::Request request{.method = "POST",
                        .url = resolve_endpoint(endpoint_),
                        .headers = std::move(auth.headers),
                        .cookies = std::move(auth.cookies),
                        .timeout = timeout_,
                        .stall_timeout = timeout_,
                        .max_response_bytes = UPLOAD_ANSWER_LIMIT};
  request.parts.push_back(
      {.name = "folder", .value = options.folder.empty() ? folder_ : options.folder});
  request.parts.push_back({.name = "public",
                           .value = options.public_.empty()
                                        ? public_
                                        : checked_public_flag(options.public_, "public")});
  request.parts.push_back({.name = "purpose", .value = options.purpose});
  if (truthy(options.metadata)) {
    request.parts.push_back({.name = "metadata", .value = to_compact_json(options.metadata)});
  }
  request.parts.push_back(
      {.name = file_field_,
       .file = path,
       .filename = path.filename().string(),
       .content_type = MimeTypes::system().guess(path).value_or("application/octet-stream")});

  Json payload = parse_upload_response(http::send(request));
  auto url = extract_upload_url(payload);
  if (!url) throw FileUploadBadJsonError("文件上传响应缺少下载链接");
  return FileUploadResult{.url = *url, .raw = std::move(payload)};
}

std::string resolve_endpoint(const std::string& endpoint) {
  const std::string value = text::strip(endpoint);
  if (value.starts_with("http://") || value.starts_with("https://")) return value;
  std::string url = ops_url();
  while (!url.empty() && url.back() == '/') url.pop_back();
  if (!value.starts_with('/')) url.push_back('/');
  url.append(value);
  return url;
}

bool has_mcp_api_key(const http::NameValues& headers) {
  for (const auto& [name, value] : headers) {
    if (name == MCP_API_KEY_HEADER && !value.empty()) return true;
  }
  return false;
}

Json parse_upload_response(const http::Response& response) {
  Json payload;
  try {
    payload =
        parse_json(response.body, "文件服务的答复（HTTP " + std::to_string(response.status) + "）");
  } catch (const JsonError&) {
    std::throw_with_nested(FileUploadBadJsonError("远端返回了无法解析的 JSON"));
  }
  if (!payload.is_object()) throw FileUploadBadJsonError("远端返回结构不是 JSON 对象");
  if (response.status >= 400) {
    std::string message = extract_error_message(payload);
    if (message.empty()) message = "远端请求失败，HTTP " + std::to_string(response.status);
    throw FileUploadHttpError(response.status, message);
  }
  if (auto code = payload.find("code");
      code != payload.end() && !code->is_null() && !is_accepted_business_code(*code)) {
    std::string message = extract_error_message(payload);
    if (message.empty()) message = "远端业务执行失败";
    throw FileUploadBusinessError(*code, message);
  }
  return payload;
}

std::optional<std::string> extract_upload_url(const Json& payload) {
  constexpr std::array<std::string_view, 5> keys = {"url", "download_url", "downloadUrl",
                                                    "file_url", "fileUrl"};
  auto data = payload.find("data");
  for (const Json* candidate : {data != payload.end() ? &*data : nullptr, &payload}) {
    if (candidate == nullptr || !candidate->is_object()) continue;
    for (std::string_view key : keys) {
      auto it = candidate->find(key);
      if (it == candidate->end() || !it->is_string()) continue;
      if (auto url = text::strip(it->get_ref<const std::string&>()); !url.empty()) return url;
    }
  }
  return std::nullopt;
}

}  // namespace vendro::shared
