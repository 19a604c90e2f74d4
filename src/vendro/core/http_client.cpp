#include "vendro/core/http_client.hpp"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "vendro/core/environment.hpp"
#include "vendro/core/text.hpp"

namespace vendro::http {

namespace {

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
  void operator()(curl_mime* m) const { curl_mime_free(m); }
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
template <class T>
using CurlPtr = std::unique_ptr<T, CurlDeleter>;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<Response*>(user)->body.append(data, size * count);
  return size * count;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* response = static_cast<Response*>(user);
  std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    response->headers.clear();  // a new response (after a redirect or 100-continue)
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    response->headers.emplace_back(text::strip(line.substr(0, colon)),
                                   text::strip(line.substr(colon + 1)));
  }
  return size * count;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

CurlPtr<curl_mime> build_mime(CURL* handle, const std::vector<Part>& parts) {
  CurlPtr<curl_mime> mime(curl_mime_init(handle));
  for (const Part& part : parts) {
    curl_mimepart* field = curl_mime_addpart(mime.get());
    curl_mime_name(field, part.name.c_str());
    if (part.file) {
      if (curl_mime_filedata(field, part.file->c_str()) != CURLE_OK) {
        throw TransportError("无法读取要上传的文件：" + part.file->string());
      }
      std::string filename = part.filename.empty() ? part.file->filename().string() : part.filename;
      curl_mime_filename(field, filename.c_str());
    } else {
      curl_mime_data(field, part.value.data(), part.value.size());
    }
    if (!part.content_type.empty()) curl_mime_type(field, part.content_type.c_str());
  }
  return mime;
}

[[noreturn]] void throw_transport(CURLcode code, const char* detail, const Request& request) {
  std::string where = request.method + " " + redact_url(request.url);
  std::string reason = detail[0] != '\0' ? detail : curl_easy_strerror(code);
  if (code == CURLE_OPERATION_TIMEDOUT) {
    auto seconds = std::chrono::duration<double>(request.timeout).count();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    throw TimeoutError("网络请求超时（" + std::string(buf) + " 秒内没有完整答复）：" + where);
  }
  throw TransportError("网络请求失败：" + reason + "（" + where + "）");
}

}  // namespace

Request& Request::json_body(const Json& payload) {
  body = to_compact_json(payload);
  headers.emplace_back("Content-Type", "application/json");
  return *this;
}

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (iequals(key, name)) return value;
  }
  return std::nullopt;
}

std::string redact_url(std::string_view url) {
  auto cut = url.find_first_of("?#");
  return std::string(url.substr(0, cut));
}

Response send(const Request& request) {
  global_init();
  CurlPtr<CURL> handle(curl_easy_init());
  if (!handle) throw TransportError("网络请求失败：无法初始化 HTTP 客户端");
  CURL* h = handle.get();
  Response response;
  char error_buffer[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.follow_redirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  std::string agent = "vendro/" + get_version();
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &response);

  CurlPtr<curl_slist> header_list;
  auto add_header = [&](const std::string& line) {
    curl_slist* next = curl_slist_append(header_list.get(), line.c_str());
    if (next == nullptr) throw TransportError("网络请求失败：内存不足");
    (void)header_list.release();
    header_list.reset(next);
  };
  for (const auto& [name, value] : request.headers) {
    // "Name;" is curl's way to send a header with an empty value.
    add_header(value.empty() ? name + ";" : name + ": " + value);
  }
  // Servers that do not answer 100-continue would otherwise stall every large upload for 1 s.
  add_header("Expect:");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, header_list.get());

  std::string cookie_line;
  for (const auto& [name, value] : request.cookies) {
    if (!cookie_line.empty()) cookie_line += "; ";
    cookie_line += name + "=" + value;
  }
  if (!cookie_line.empty()) curl_easy_setopt(h, CURLOPT_COOKIE, cookie_line.c_str());

  CurlPtr<curl_mime> mime;
  if (!request.parts.empty()) {
    mime = build_mime(h, request.parts);
    curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
  } else if (request.body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body->data());
  }
  if (request.method == "GET" && (mime || request.body)) {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "GET");
  } else if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (request.method != "GET" && !(request.method == "POST" && (mime || request.body))) {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) throw_transport(code, error_buffer, request);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  char* effective = nullptr;
  curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
  response.url = effective != nullptr ? effective : request.url;
  return response;
}

}  // namespace vendro::http
