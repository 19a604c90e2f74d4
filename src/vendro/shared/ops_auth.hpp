#pragma once
// Authentication against the operations (OPS) backend: where it lives, which stored credentials
// a request carries, and the exchange of a back-office session id for a bearer token.
//
// Stored credentials: VENDRO_OPS_TOKEN when set (bearer token of the "ops" backend), else
// CONFIG_DIR/auth/credentials.yaml, a file of mode 0600 keyed by backend alias:
//
//   ops:
//     url: https://ops.example.com
//     token: eyJ...
//     cookies:
//       name: value
//
// All calls block; an AuthClient holds only its settings and is safe to share between threads.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "vendro/core/error.hpp"
#include "vendro/core/http_client.hpp"

namespace vendro::shared {

inline constexpr const char* ENV_OPS_URL = "VENDRO_OPS_URL";
inline constexpr const char* ENV_OPS_TOKEN = "VENDRO_OPS_TOKEN";
// The alias of the OPS backend in the credentials file.
inline constexpr const char* OPS_ALIAS = "ops";
// The OPS endpoint that trades a back-office session id for a bearer token. POST, JSON body
// {"session_id": ..., "alias": ...}, the session id also sent as the cookie "nimbraUserToken";
// the answer carries the token as data.token (or data.access_token, token, access_token).
inline constexpr const char* SESSION_TOKEN_ENDPOINT = "/v1/auth/session/token";
// The token answer is a small JSON object.
inline constexpr std::size_t SESSION_ANSWER_LIMIT = 1 << 20;
// The cookie in which the back office keeps its session id.
inline constexpr const char* SESSION_COOKIE = "nimbraUserToken";

// A session id could not be exchanged for a token (refused, unreachable answer shape).
VENDRO_DEFINE_ERROR(OpsAuthError, RemoteError, "OPS_AUTH_ERROR");
// No OPS backend address is configured.
VENDRO_DEFINE_ERROR(OpsConfigError, Error, "OPS_NOT_CONFIGURED");

// The OPS backend base URL: VENDRO_OPS_URL when set, else `url` under `ops` in
// CONFIG_DIR/auth/credentials.yaml. May end in "/". The backend is the company's own, so there is
// no default to fall back on (a guessed host would receive the bearer token): with neither set it
// throws OpsConfigError saying how to configure it.
std::string ops_url();

// What a request to one backend carries for authentication.
struct RequestAuth {
  http::NameValues headers;  // {"Authorization": "Bearer ..."} or empty
  http::NameValues cookies;
};

class AuthClient {
 public:
  struct Options {
    // Where credentials.yaml is looked up; defaults to CONFIG_DIR/auth at call time.
    std::optional<std::filesystem::path> credentials_dir;
    // Base URL for the session exchange; defaults to ops_url() at call time.
    std::optional<std::string> base_url;
    std::chrono::milliseconds timeout{std::chrono::seconds(15)};
  };

  AuthClient() = default;
  explicit AuthClient(Options options) : options_(std::move(options)) {}

  // The stored credentials for backend `alias`. With none stored, both lists are empty (the
  // request then goes out and the service's own refusal is reported). A credentials file that
  // is unreadable or not valid YAML throws FileError / yaml::YamlError.
  RequestAuth build_request_auth(const std::string& alias) const;

  // Exchanges `session_id` for a bearer token of backend `alias` at SESSION_TOKEN_ENDPOINT.
  // Throws OpsAuthError when the backend refuses or answers without a token (or with JSON beyond
  // the bounds of parse_json), and http::TransportError when it cannot be reached or answers with
  // more than SESSION_ANSWER_LIMIT.
  std::string get_token_by_session(const std::string& session_id, const std::string& alias) const;

 private:
  std::filesystem::path credentials_file() const;

  Options options_;
};

}  // namespace vendro::shared
