#pragma once
// Xiyou (西柚) token alerts: when a Xiyou call is refused because the access token is invalid or
// expired, or the stored token is seen to have expired, post one text message to the WeCom
// (企业微信) group robot of the alert configuration so that somebody enters a new token, and stay
// quiet about the same alert for the configured window.
//
// Blocking: an alert blocks for at most WECOM_TIMEOUT while posting, plus the wait for other
// processes alerting at the same time (at most STATE_LOCK_WAIT). Nothing is kept in memory
// between calls; the configuration and the state file are read afresh every time. Safe to call
// from several threads and processes at once (see state_file.hpp): the same alert raised by many
// at the same moment is sent once.

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "vendro/core/json.hpp"
#include "vendro/xiyou/notify_config.hpp"
#include "vendro/xiyou/settings.hpp"

namespace vendro::xiyou {

// Xiyou business codes that mean the token must be renewed.
inline const std::set<std::string> TOKEN_INVALID_CODES = {"TokenInvalid", "TokenExpired",
                                                          "TokenFreeTrialExpired"};
// The dedupe key that every token-invalid alert shares.
inline constexpr const char* TOKEN_REQUIRED_KEY = "token_required";
// The one reason this module recognises itself: the stored token has expired.
inline constexpr const char* REASON_JWT_EXPIRED = "jwt_expired";
inline constexpr std::chrono::milliseconds WECOM_TIMEOUT{5000};
// The robot answers with a small JSON object; a larger answer is a failed send.
inline constexpr std::size_t ROBOT_ANSWER_LIMIT = 1 << 20;
// How much of a failed robot answer goes into the result, in characters.
inline constexpr std::size_t MAX_RESPONSE_CHARS = 500;

// What a POST operation returns; a missing status counts as 200, a missing body as empty text.
struct PostResponse {
  std::optional<long> status_code;
  std::optional<std::string> text;
};
// Posts `body` as JSON to `url` within `timeout`; may throw, which counts as a failed send.
using HttpPost = std::function<PostResponse(const std::string& url, const Json& body,
                                            std::chrono::milliseconds timeout)>;

struct NotifyOptions {
  std::string reason;                     // required; "jwt_expired" or the caller's own
  std::optional<long long> status_code;   // HTTP status of the refused Xiyou call
  Json business_code = nullptr;           // Xiyou business code (text), or null
  std::optional<std::string> job_id;      // the blocked job
  std::optional<std::string> expires_at;  // token expiry as the caller knows it
  std::optional<XiyouSettings> settings;  // default: load_settings()
  HttpPost http_post;                     // default: the HTTP client
  bool force = false;  // send inside the quiet window and leave the state file alone
};

// Alerts the robot unless the same alert went out within the quiet window. Returns a result map:
//   {"sent": false, "reason": "not_configured"}
//   {"sent": false, "reason": "deduped", "dedupe_key": K}
//   {"sent": false, "reason": "http_error", "status_code": N, "response": first 500 characters}
//   {"sent": false, "reason": "wecom_error", "errcode": E, "errmsg": M}
//   {"sent": false, "reason": "send_failed", "error": message}
//   {"sent": true, "dedupe_key": K}
//   {"sent": true, "dedupe_key": K, "state_error": message}   (sent, but not recorded)
// A failed send never throws and leaves the state file untouched. Configuration errors (unreadable
// file, malformed YAML) and state that cannot be read or locked before the send throw. Without
// `force`, the check, the send and the record happen under StateLock.
Json notify_token_required(const NotifyOptions& options);

// True when `status_code` is 401, or the text form of a truthy `business_code` is exactly one of
// TOKEN_INVALID_CODES.
bool is_token_invalid_signal(std::optional<long long> status_code, const Json& business_code);

// "token_required" for token-invalid alerts and "jwt_expired", else "reason:status:code" with an
// empty status for null or 0 and an empty code when it is falsy.
std::string dedupe_key(const std::string& reason, std::optional<long long> status_code,
                       const Json& business_code);

// True when the state holds a numeric entry for `key` younger than the quiet window (an entry in
// the future counts as recent). Call it under StateLock when its answer decides a send.
bool is_deduped(const XiyouNotifyConfig& config, const std::string& key);

// Records now as the last alert time of `key`, keeping every other entry. Call it under
// StateLock, so that entries written by others meanwhile are kept.
void mark_notified(const XiyouNotifyConfig& config, const std::string& key);

struct AlertDetails {
  std::string reason;
  std::optional<long long> status_code;
  Json business_code = nullptr;
  std::optional<std::string> expires_at;
  std::optional<std::string> job_id;
};

// The robot message carrying the seven-line alert text.
Json build_text_payload(const XiyouNotifyConfig& config, const AlertDetails& details);

// A WeCom "text" message with `content` and the configured mention lists (each only when not
// empty).
Json wecom_text_payload(const XiyouNotifyConfig& config, const std::string& content);

// Posts `payload` to the configured webhook and maps the outcome to a result map ({"sent": true}
// on success). Never throws.
Json send_wecom(const XiyouNotifyConfig& config, const Json& payload, const HttpPost& http_post);

// The expiry ("exp") of the stored token as UTC ISO 8601 with "+00:00"; nothing when no token is
// stored, it cannot be decoded, or "exp" is not an integer.
std::optional<std::string> current_expires_at(const XiyouSettings& settings);

}  // namespace vendro::xiyou
