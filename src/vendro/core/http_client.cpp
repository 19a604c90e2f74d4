#include "vendro/core/http_client.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "vendro/core/environment.hpp"
#include "vendro/core/files.hpp"
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

constexpr long MAX_REDIRECTS = 10;

// Where one answer's body goes: memory or the response file, never beyond the size bound.
struct BodySink {
  Response& response;
  std::size_t limit;
  int fd = -1;  // the response file, when there is one
  std::size_t received = 0;
  bool too_large = false;
  int write_error = 0;

  // Drops what an earlier answer (a redirect) left.
  void restart() {
    received = 0;
    response.body.clear();
    if (fd >= 0 && (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)) write_error = errno;
  }
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  std::size_t n = size * count;
  if (sink->received + n > sink->limit) {
    sink->too_large = true;
    return 0;  // makes libcurl stop the transfer
  }
  sink->received += n;
  if (sink->fd < 0) {
    sink->response.body.append(data, n);
    return n;
  }
  for (std::size_t done = 0; done < n;) {
    auto written = ::write(sink->fd, data + done, n - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      sink->write_error = errno;
      return 0;
    }
    done += static_cast<std::size_t>(written);
  }
  return n;
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
    if (request.stall_timeout) {
      throw TimeoutError("网络请求超时（连接 " + std::to_string(request.stall_timeout->count()) +
                         " 秒没有任何进展，或 " + buf + " 秒内未能建立连接）：" + where);
    }
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
  std::string out(url.substr(0, url.find_first_of("?#")));
  auto scheme_end = out.find("://");
  std::size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  std::size_t authority_end = out.find('/', authority);
  auto at =
      out.rfind('@', authority_end == std::string::npos ? std::string::npos : authority_end - 1);
  if (at != std::string::npos && at >= authority && at < authority_end) {
    out.replace(authority, at - authority, "***");
  }
  return out;
}

namespace {

// The parts of `url` that make its origin, lower case, default port filled in; empty when the
// URL cannot be split.
std::string origin_of(const std::string& url) {
  CurlPtr<CURLU> parts(curl_url());
  if (!parts || curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return "";
  std::string origin;
  for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
    char* value = nullptr;
    if (curl_url_get(parts.get(), part, &value, CURLU_DEFAULT_PORT) != CURLUE_OK) return "";
    origin += text::to_lower(value);
    origin += '|';
    curl_free(value);
  }
  return origin;
}

// Notices a transfer that moved no byte either way for `limit`. libcurl's own low-speed check
// averages over several seconds, so it would give up seconds late; this counts from the last byte.
struct StallWatch {
  std::chrono::seconds limit;
  std::chrono::steady_clock::time_point last_change;
  curl_off_t last_total = -1;
  bool stalled = false;
};

int on_progress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto* watch = static_cast<StallWatch*>(user);
  auto now = std::chrono::steady_clock::now();
  if (received + sent != watch->last_total) {
    watch->last_total = received + sent;
    watch->last_change = now;
    return 0;
  }
  if (now - watch->last_change < watch->limit) return 0;
  watch->stalled = true;
  return 1;  // makes libcurl stop the transfer
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One exchange, no redirect followed. `budget` is what is left of the whole timeout.
Response perform_once(const Request& request, std::chrono::milliseconds budget, int body_fd,
                      std::string& redirect_to) {
  CurlPtr<CURL> handle(curl_easy_init());
  if (!handle) throw TransportError("网络请求失败：无法初始化 HTTP 客户端");
  CURL* h = handle.get();
  Response response;
  BodySink sink{.response = response, .limit = request.max_response_bytes, .fd = body_fd};
  sink.restart();
  char error_buffer[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  long budget_ms = std::max<long>(1, static_cast<long>(budget.count()));
  StallWatch watch{.limit = request.stall_timeout.value_or(std::chrono::seconds(0)),
                   .last_change = std::chrono::steady_clock::now()};
  if (request.stall_timeout) {
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, budget_ms);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &watch);
  } else {
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, budget_ms);
  }
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(request.max_response_bytes));
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  std::string agent = "vendro/" + get_version();
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
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
  if (watch.stalled) code = CURLE_OPERATION_TIMEDOUT;
  if (sink.too_large || code == CURLE_FILESIZE_EXCEEDED) {
    throw ResponseTooLargeError("远端答复过大（超过 " + files::describe_size(sink.limit) +
                                "），已停止接收：" + request.method + " " +
                                redact_url(request.url));
  }
  if (sink.write_error != 0) {
    throw FileError("无法写入下载的内容：" + request.response_file->string() + "（" +
                    std::strerror(sink.write_error) + "）");
  }
  if (code != CURLE_OK) throw_transport(code, error_buffer, request);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  response.url = request.url;
  char* location = nullptr;
  curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location);
  redirect_to = location != nullptr ? location : "";
  return response;
}

// Keeps only the headers that describe what the caller accepts; anything else may be a
// credential (Authorization, Cookie, API keys) or describes a body that is no longer sent.
NameValues headers_for_another_origin(const NameValues& headers) {
  NameValues kept;
  for (const auto& entry : headers) {
    if (text::to_lower(entry.first).starts_with("accept")) kept.push_back(entry);
  }
  return kept;
}

}  // namespace

Response send(const Request& request) {
  global_init();
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + request.timeout;

  int body_fd = -1;
  if (request.response_file) {
    body_fd =
        ::open(request.response_file->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (body_fd < 0) {
      throw FileError("无法写入下载的内容：" + request.response_file->string() + "（" +
                      std::strerror(errno) + "）");
    }
  }
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{body_fd};

  Request hop = request;
  for (long redirects = 0;; ++redirects) {
    auto budget = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // With a stall timeout the whole timeout bounds each connection set-up instead.
    if (request.stall_timeout) budget = request.timeout;
    if (budget.count() <= 0) throw_transport(CURLE_OPERATION_TIMEDOUT, "", request);
    std::string next;
    Response response = perform_once(hop, budget, body_fd, next);
    if (!request.follow_redirects || !is_redirect(response.status) || next.empty()) {
      return response;
    }
    std::string where = request.method + " " + redact_url(request.url);
    if (redirects == MAX_REDIRECTS) {
      throw TransportError("网络请求失败：重定向次数过多（超过 " + std::to_string(MAX_REDIRECTS) +
                           " 次）（" + where + "）");
    }
    // 303, and 301/302 after a POST, turn into a GET without body, as browsers do.
    bool to_get = (response.status == 303 && hop.method != "HEAD") ||
                  ((response.status == 301 || response.status == 302) && hop.method == "POST");
    if (to_get) {
      hop.method = "GET";
      hop.body.reset();
      hop.parts.clear();
      std::erase_if(hop.headers, [](const auto& entry) {
        return text::to_lower(entry.first) == "content-type";
      });
    }
    if (origin_of(next) != origin_of(hop.url) || origin_of(next).empty()) {
      if (hop.body || !hop.parts.empty()) {
        throw TransportError("网络请求失败：服务器把请求转到了另一个站点 " + redact_url(next) +
                             "，为免请求内容外泄未跟随（" + where + "）");
      }
      hop.cookies.clear();
      hop.headers = headers_for_another_origin(hop.headers);
    }
    hop.url = next;
  }
}

}  // namespace vendro::http
