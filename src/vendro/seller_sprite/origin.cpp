#include "vendro/seller_sprite/origin.hpp"

#include <curl/curl.h>

#include <memory>
#include <optional>

#include "vendro/core/environment.hpp"
#include "vendro/core/http_client.hpp"
#include "vendro/core/text.hpp"
#include "vendro/seller_sprite/errors.hpp"

namespace vendro::seller_sprite {

namespace {

struct CurlUrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::optional<std::string> part_of(CURLU* url, CURLUPart part) {
  char* value = nullptr;
  if (curl_url_get(url, part, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

// `text` with any "user:password@" before the host replaced by "***@".
std::string without_user_info(std::string_view text) {
  std::string shown(text);
  const std::size_t scheme_end = shown.find("://");
  const std::size_t host_start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const std::size_t authority_end = shown.find_first_of("/?#", host_start);
  const std::size_t at =
      shown.rfind('@', authority_end == std::string::npos ? shown.size() : authority_end);
  if (at != std::string::npos && at >= host_start)
    shown.replace(host_start, at - host_start, "***");
  return shown;
}

[[noreturn]] void refuse(std::string_view text, const std::string& why) {
  throw SellerSpriteConfigError("卖家精灵地址无效（" + std::string(SellerSpriteOrigin::ENV_VAR) +
                                "）：" + http::redact_url(without_user_info(text)) + "，" + why +
                                "。应为 https://主机[:端口]，例如 https://www.sellersprite.com");
}

}  // namespace

SellerSpriteOrigin SellerSpriteOrigin::parse(std::string_view text) {
  std::string value = text::strip(text);
  std::unique_ptr<CURLU, CurlUrlFree> url(curl_url());
  if (value.find("://") == std::string::npos ||
      curl_url_set(url.get(), CURLUPART_URL, value.c_str(), 0) != CURLUE_OK) {
    refuse(value, "无法解析");
  }
  std::string scheme = text::to_lower(part_of(url.get(), CURLUPART_SCHEME).value_or(""));
  if (scheme != "http" && scheme != "https") refuse(value, "只支持 http 或 https");
  if (part_of(url.get(), CURLUPART_USER) || part_of(url.get(), CURLUPART_PASSWORD)) {
    refuse(value, "不能包含用户名或密码");
  }
  std::string path = part_of(url.get(), CURLUPART_PATH).value_or("/");
  if ((path != "/" && !path.empty()) || part_of(url.get(), CURLUPART_QUERY) ||
      part_of(url.get(), CURLUPART_FRAGMENT)) {
    refuse(value, "不能包含路径、查询或片段");
  }
  std::string host = text::to_lower(part_of(url.get(), CURLUPART_HOST).value_or(""));
  if (host.empty()) refuse(value, "缺少主机名");

  SellerSpriteOrigin origin;
  origin.host_ = host;
  origin.origin_ = scheme + "://" + host;
  if (auto port = part_of(url.get(), CURLUPART_PORT)) origin.origin_ += ":" + *port;
  return origin;
}

SellerSpriteOrigin SellerSpriteOrigin::from_environment() {
  std::optional<std::string> configured = get_env(ENV_VAR);
  return parse(configured ? *configured : std::string(DEFAULT_ORIGIN));
}

std::string SellerSpriteOrigin::site_domain() const {
  if (host_.starts_with("www.")) return host_.substr(4);
  return host_;
}

}  // namespace vendro::seller_sprite
