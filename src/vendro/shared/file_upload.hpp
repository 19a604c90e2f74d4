#pragma once
// The public file upload client: uploads one local file to the OPS backend's file service with a
// multipart POST, reusing the OPS authentication, and returns the download URL the service
// reports. The file is streamed from disk while the request is sent, never read whole into memory.
//
// Blocking: `upload` blocks for the whole transfer (at most DEFAULT_TIMEOUT). A client holds only
// its settings; one client may be used from several threads.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "vendro/core/error.hpp"
#include "vendro/core/http_client.hpp"
#include "vendro/core/json.hpp"
#include "vendro/shared/ops_auth.hpp"

namespace vendro::shared {

inline constexpr const char* ENV_FILE_UPLOAD_ENDPOINT = "VENDRO_FILE_UPLOAD_ENDPOINT";
inline constexpr const char* ENV_FILE_UPLOAD_FIELD = "VENDRO_FILE_UPLOAD_FIELD";
inline constexpr const char* ENV_FILE_UPLOAD_FOLDER = "VENDRO_FILE_UPLOAD_FOLDER";
inline constexpr const char* ENV_FILE_UPLOAD_PUBLIC = "VENDRO_FILE_UPLOAD_PUBLIC";
inline constexpr const char* DEFAULT_ENDPOINT = "/v1/file/upload";
inline constexpr const char* DEFAULT_FILE_FIELD = "file";
inline constexpr const char* DEFAULT_FOLDER = "uploads";
inline constexpr const char* DEFAULT_PUBLIC = "0";
// Connection set-up, and how long an upload may go without any progress; a transfer that keeps
// moving is never cut off.
inline constexpr std::chrono::seconds DEFAULT_TIMEOUT{60};
// The service answers with a small JSON object.
inline constexpr std::size_t UPLOAD_ANSWER_LIMIT = 4 << 20;
// The tool-request header that authenticates a tool call on its own.
inline constexpr const char* MCP_API_KEY_HEADER = "X-MCP-API-Key";

// 文件上传错误。
VENDRO_DEFINE_ERROR(FileUploadError, RemoteError, "FILE_UPLOAD_ERROR");

// 文件上传 HTTP 错误。The service answered with status 400 or more.
class FileUploadHttpError : public FileUploadError {
 public:
  static constexpr std::string_view CODE = "FILE_UPLOAD_HTTP_ERROR";
  FileUploadHttpError(long status_code, const std::string& message)
      : FileUploadError(message), status_code(status_code) {}
  std::string_view code() const noexcept override { return CODE; }
  const long status_code;
};

// 文件上传业务错误。The service answered a business code other than 0, 200 or 201.
class FileUploadBusinessError : public FileUploadError {
 public:
  static constexpr std::string_view CODE = "FILE_UPLOAD_BUSINESS_ERROR";
  FileUploadBusinessError(Json business_code, const std::string& message)
      : FileUploadError(message), business_code(std::move(business_code)) {}
  std::string_view code() const noexcept override { return CODE; }
  const Json business_code;  // integer or text, as the service sent it
};

// 文件上传响应结构错误。The answer is not a JSON object or lacks the download URL.
VENDRO_DEFINE_ERROR(FileUploadBadJsonError, FileUploadError, "FILE_UPLOAD_BAD_JSON");

// 文件上传结果。Immutable.
struct FileUploadResult {
  const std::string url;  // the download URL
  const Json raw;         // the whole parsed answer

  Json to_json() const { return {{"url", url}, {"raw", raw}}; }
};

class FileUploadClient {
 public:
  // Every member is optional; an empty one falls back to its environment variable (read once,
  // at construction), then to its default. Throws FileUploadError when the public flag, given
  // or from VENDRO_FILE_UPLOAD_PUBLIC, is not "0" or "1".
  struct Options {
    std::string endpoint;  // absolute URL, or a path below the OPS base URL
    std::string file_field;
    std::string folder;
    std::string public_;  // "0" or "1", sent as text
    std::optional<AuthClient> auth_client;
    std::optional<std::string> jwt;
    std::optional<std::string> session_id;
    std::chrono::seconds timeout = DEFAULT_TIMEOUT;  // see DEFAULT_TIMEOUT
  };

  struct UploadOptions {
    std::string purpose;      // required
    std::string folder;       // empty: the client's folder
    std::string public_;      // empty: the client's public flag; else "0" or "1"
    Json metadata = nullptr;  // a JSON object; empty or null sends no "metadata" part
  };

  FileUploadClient() : FileUploadClient(Options{}) {}
  explicit FileUploadClient(Options options);

  const std::string& endpoint() const { return endpoint_; }
  const std::string& file_field() const { return file_field_; }
  const std::string& folder() const { return folder_; }
  const std::string& public_flag() const { return public_; }
  // True when an endpoint is configured.
  bool enabled() const { return !endpoint_.empty(); }

  // 上传文件并返回远端下载链接。`path` is taken as given (no "~" expansion). Throws
  // FileUploadError (no endpoint, no such file, a public flag other than "0" or "1"), FileError
  // (the file cannot be read), FileUploadHttpError / FileUploadBusinessError /
  // FileUploadBadJsonError for the answer, OpsAuthError from the session exchange, and
  // http::TransportError / TimeoutError when the service cannot be reached, or the transfer
  // makes no progress for the timeout (DEFAULT_TIMEOUT), or the answer is larger than
  // UPLOAD_ANSWER_LIMIT.
  FileUploadResult upload(const std::filesystem::path& path, const UploadOptions& options) const;

  // Headers and cookies for a request to backend `alias`: a session id (with the stored jwt or a
  // token exchanged for it), else the jwt, else a tool request's own API key, else the stored
  // credentials; tool-request headers are laid over the result.
  RequestAuth get_auth(const std::string& alias) const;

 private:
  std::string endpoint_;
  std::string file_field_;
  std::string folder_;
  std::string public_;
  AuthClient auth_client_;
  std::optional<std::string> jwt_;
  std::optional<std::string> session_id_;
  std::chrono::seconds timeout_;
};

// `endpoint` as an absolute URL: kept when it starts with "http://" or "https://" (exactly that
// case), else appended to the OPS base URL with a single "/" between. Surrounding blanks go.
std::string resolve_endpoint(const std::string& endpoint);

// True when `headers` carries a non-empty "X-MCP-API-Key" (exactly that case).
bool has_mcp_api_key(const http::NameValues& headers);

// The answer's JSON object after the status and business code checks (see FileUploadClient). An
// answer that is no JSON is a FileUploadBadJsonError whose cause names the HTTP status.
Json parse_upload_response(const http::Response& response);

// The first non-blank "url", "download_url", "downloadUrl", "file_url" or "fileUrl" text of the
// payload's "data" object, then of the payload itself, stripped.
std::optional<std::string> extract_upload_url(const Json& payload);

}  // namespace vendro::shared
