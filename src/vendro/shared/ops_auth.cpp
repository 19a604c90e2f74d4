#include "vendro/shared/ops_auth.hpp"

#include <array>
#include <string_view>

#include "vendro/core/environment.hpp"
#include "vendro/core/text.hpp"
#include "vendro/core/yaml.hpp"
#include "vendro/shared/error_message.hpp"

namespace vendro::shared {

namespace {

std::string text_of(const Json& value) {
  if (value.is_string()) return text::strip(value.get_ref<const std::string&>());
  if (value.is_number()) return value.dump();
  return "";
}

std::string join_url(std::string base, std::string_view path) {
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + std::string(path);
}

std::string find_token(const Json& payload) {
  constexpr std::array<std::string_view, 2> keys = {"token", "access_token"};
  auto data = payload.find("data");
  for (const Json* candidate : {data != payload.end() ? &*data : nullptr, &payload}) {
    if (candidate == nullptr || !candidate->is_object()) continue;
    for (std::string_view key : keys) {
      auto it = candidate->find(key);
      if (it != candidate->end() && it->is_string()) {
        if (auto token = text::strip(it->get_ref<const std::string&>()); !token.empty()) {
          return token;
        }
      }
    }
  }
  return "";
}

}  // namespace

std::string ops_url() {
  if (auto from_env = get_env(ENV_OPS_URL)) return *from_env;
  auto file = config_dir() / "auth" / "credentials.yaml";
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    Json stored = yaml::load_file(file);
    if (stored.is_object() && stored.contains(OPS_ALIAS) && stored[OPS_ALIAS].is_object()) {
      Json url = stored[OPS_ALIAS].value("url", Json());
      if (url.is_string() && !text::strip(url.get<std::string>()).empty()) {
        return text::strip(url.get<std::string>());
      }
    }
  }
  throw OpsConfigError("未配置 OPS 后端地址：请设置环境变量 VENDRO_OPS_URL，或在 " + file.string() +
                       " 的 ops 下填写 url");
}

std::filesystem::path AuthClient::credentials_file() const {
  return options_.credentials_dir.value_or(config_dir() / "auth") / "credentials.yaml";
}

RequestAuth AuthClient::build_request_auth(const std::string& alias) const {
  RequestAuth auth;
  std::string token;
  Json entry = Json::object();
  if (auto from_env = get_env(ENV_OPS_TOKEN); from_env && alias == OPS_ALIAS) {
    token = text::strip(*from_env);
  } else {
    std::error_code ec;
    auto path = credentials_file();
    if (std::filesystem::exists(path, ec)) {
      Json stored = yaml::load_file(path);
      if (stored.is_object() && stored.contains(alias) && stored[alias].is_object()) {
        entry = stored[alias];
      }
      token = text_of(entry.value("token", Json()));
    }
  }
  if (!token.empty()) auth.headers.emplace_back("Authorization", "Bearer " + token);
  if (auto cookies = entry.find("cookies"); cookies != entry.end() && cookies->is_object()) {
    for (const auto& [name, value] : cookies->items()) {
      if (auto text = text_of(value); !text.empty()) auth.cookies.emplace_back(name, text);
    }
  }
  return auth;
}

std::string AuthClient::get_token_by_session(const std::string& session_id,
                                             const std::string& alias) const {
  http::Request request{
      .method = "POST",
      .url = join_url(options_.base_url ? *options_.base_url : ops_url(), SESSION_TOKEN_ENDPOINT),
      .cookies = {{SESSION_COOKIE, session_id}},
      .timeout = options_.timeout,
      .max_response_bytes = SESSION_ANSWER_LIMIT};
  request.json_body({{"session_id", session_id}, {"alias", alias}});
  http::Response response = http::send(request);
  Json payload;
  try {
    // An answer that is no JSON at all still gets its status reported below.
    payload = try_parse_json(response.body, "OPS 的答复");
  } catch (const JsonError&) {
    std::throw_with_nested(OpsAuthError("OPS 会话换取 token 失败：答复无法使用"));
  }
  if (payload.is_discarded()) payload = nullptr;
  if (response.status >= 400) {
    std::string message = extract_error_message(payload);
    throw OpsAuthError("OPS 会话换取 token 失败（HTTP " + std::to_string(response.status) + "）" +
                       (message.empty() ? "" : "：" + message));
  }
  std::string token = payload.is_object() ? find_token(payload) : "";
  if (token.empty()) {
    std::string message = extract_error_message(payload);
    throw OpsAuthError("OPS 会话换取 token 失败：" +
                       (message.empty() ? std::string("返回中没有 token") : message));
  }
  return token;
}

}  // namespace vendro::shared
