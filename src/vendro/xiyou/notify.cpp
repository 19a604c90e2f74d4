#include "vendro/xiyou/notify.hpp"

#include <chrono>
#include <climits>
#include <cstdio>
#include <optional>

#include "vendro/core/http_client.hpp"
#include "vendro/core/text.hpp"
#include "vendro/xiyou/credentials.hpp"
#include "vendro/xiyou/state_file.hpp"

namespace vendro::xiyou {

namespace {

double unix_now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

PostResponse default_post(const std::string& url, const Json& body,
                          std::chrono::milliseconds timeout) {
  http::Request request{
      .method = "POST", .url = url, .timeout = timeout, .max_response_bytes = ROBOT_ANSWER_LIMIT};
  request.json_body(body);
  http::Response response = http::send(request);
  return {.status_code = response.status, .text = std::move(response.body)};
}

Json failed(const char* reason) {
  return {{"sent", false}, {"reason", reason}};
}

// UTC ISO 8601 with a "+00:00" offset, for years 1 to 9999.
std::optional<std::string> iso_utc(long long unix_seconds) {
  using namespace std::chrono;
  // Beyond these bounds the year leaves 1..9999.
  if (unix_seconds < -62135596800LL || unix_seconds > 253402300799LL) return std::nullopt;
  sys_seconds moment{seconds(unix_seconds)};
  auto day = floor<days>(moment);
  year_month_day date{day};
  hh_mm_ss time{moment - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d+00:00", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()));
  return std::string(buf);
}

}  // namespace

Json notify_token_required(const NotifyOptions& options) {
  XiyouSettings settings = options.settings ? *options.settings : load_settings();
  XiyouNotifyConfig config = load_local_notify_config(settings);
  if (!config.enabled()) return failed("not_configured");

  std::string key = dedupe_key(options.reason, options.status_code, options.business_code);
  // Check, send and record under one lock, so that concurrent runs send one alert.
  std::optional<StateLock> lock;
  if (!options.force) {
    lock.emplace(config.state_path());
    if (is_deduped(config, key)) {
      Json result = failed("deduped");
      result["dedupe_key"] = key;
      return result;
    }
  }
  std::optional<std::string> expires_at = options.expires_at;
  if (!expires_at || expires_at->empty()) expires_at = current_expires_at(settings);

  Json payload = build_text_payload(config, {.reason = options.reason,
                                             .status_code = options.status_code,
                                             .business_code = options.business_code,
                                             .expires_at = expires_at,
                                             .job_id = options.job_id});
  Json result = send_wecom(config, payload, options.http_post);
  if (!result.value("sent", false)) return result;
  result = {{"sent", true}, {"dedupe_key", key}};
  if (options.force) return result;
  try {
    mark_notified(config, key);
  } catch (const std::exception& error) {
    // The message is out: saying otherwise would have the caller send it again.
    result["state_error"] = error.what();
  }
  return result;
}

bool is_token_invalid_signal(std::optional<long long> status_code, const Json& business_code) {
  if (status_code == 401) return true;
  std::string code = truthy(business_code) ? text_form(business_code) : "";
  return TOKEN_INVALID_CODES.contains(code);
}

std::string dedupe_key(const std::string& reason, std::optional<long long> status_code,
                       const Json& business_code) {
  if (reason == REASON_JWT_EXPIRED || is_token_invalid_signal(status_code, business_code)) {
    return TOKEN_REQUIRED_KEY;
  }
  std::string status = status_code && *status_code != 0 ? std::to_string(*status_code) : "";
  std::string code = truthy(business_code) ? text_form(business_code) : "";
  return reason + ":" + status + ":" + code;
}

bool is_deduped(const XiyouNotifyConfig& config, const std::string& key) {
  Json state = read_state(config.state_path());
  auto entry = state.find(key);
  if (entry == state.end() || !entry->is_number()) return false;
  double window = static_cast<double>(config.dedupe_minutes) * 60.0;
  return unix_now() - entry->get<double>() < window;
}

void mark_notified(const XiyouNotifyConfig& config, const std::string& key) {
  Json state = read_state(config.state_path());
  state[key] = unix_now();
  write_state(config.state_path(), state);
}

Json build_text_payload(const XiyouNotifyConfig& config, const AlertDetails& details) {
  auto or_dash = [](const Json& value) { return truthy(value) ? text_form(value) : "-"; };
  auto optional_or_dash = [](const std::optional<std::string>& value) {
    return value && !value->empty() ? *value : std::string("-");
  };
  std::string text = "西柚 token 失效/即将过期";
  text += "\n原因：" + details.reason;
  text += "\nHTTP 状态：" +
          (details.status_code ? std::to_string(*details.status_code) : std::string("-"));
  text += "\n业务码：" + or_dash(details.business_code);
  text += "\n当前过期时间：" + optional_or_dash(details.expires_at);
  text += "\n阻塞业务：" + optional_or_dash(details.job_id);
  if (config.quick_login_url) {
    text += "\n运营后台补登：" + *config.quick_login_url;
  } else {
    text += "\n处理方式：登录运营系统后台，人工更新西柚 token/cookie。";
  }
  return wecom_text_payload(config, text);
}

Json wecom_text_payload(const XiyouNotifyConfig& config, const std::string& content) {
  Json text = {{"content", content}};
  if (!config.mentioned_list.empty()) text["mentioned_list"] = config.mentioned_list;
  if (!config.mentioned_mobile_list.empty()) {
    text["mentioned_mobile_list"] = config.mentioned_mobile_list;
  }
  return {{"msgtype", "text"}, {"text", std::move(text)}};
}

Json send_wecom(const XiyouNotifyConfig& config, const Json& payload, const HttpPost& http_post) {
  try {
    const HttpPost& post = http_post ? http_post : HttpPost(default_post);
    PostResponse response = post(config.webhook_url.value_or(""), payload, WECOM_TIMEOUT);
    long status = response.status_code.value_or(200);
    std::string body = response.text.value_or("");
    if (status >= 400) {
      Json result = failed("http_error");
      result["status_code"] = status;
      result["response"] = text::first_code_points(body, MAX_RESPONSE_CHARS);
      return result;
    }
    // An answer that is no JSON counts as delivered; one beyond the bounds is a failed send.
    Json answer = try_parse_json(body, "企业微信的答复");
    if (answer.is_object()) {
      Json errcode = answer.value("errcode", Json());
      auto number = truthy(errcode) ? to_integer(errcode) : std::optional<long long>(0);
      if (!number) {
        throw std::runtime_error("企业微信返回的 errcode 不是整数：" + text_form(errcode));
      }
      if (*number != 0) {
        Json result = failed("wecom_error");
        result["errcode"] = errcode;
        result["errmsg"] = answer.value("errmsg", Json());
        return result;
      }
    }
    return {{"sent", true}};
  } catch (const std::exception& error) {
    Json result = failed("send_failed");
    result["error"] = error.what();
    return result;
  }
}

std::optional<std::string> current_expires_at(const XiyouSettings& settings) {
  if (settings.authorization.empty()) return std::nullopt;
  try {
    Json claims = decode_jwt_payload(settings.authorization);
    auto exp = claims.find("exp");
    if (exp == claims.end() || !exp->is_number_integer()) return std::nullopt;
    if (exp->is_number_unsigned() &&
        exp->get<unsigned long long>() > static_cast<unsigned long long>(LLONG_MAX)) {
      return std::nullopt;
    }
    return iso_utc(exp->get<long long>());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace vendro::xiyou
