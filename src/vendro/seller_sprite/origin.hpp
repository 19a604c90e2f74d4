#pragma once
// Where the SellerSprite web application lives. The origin (scheme, host, optional port) is
// configuration: VENDRO_SELLERSPRITE_ORIGIN, else DEFAULT_ORIGIN. The collector's three page URLs
// are built from it, and responses from its site domain are the ones trend details capture.

#include <string>
#include <string_view>

namespace vendro::seller_sprite {

class SellerSpriteOrigin {
 public:
  static constexpr std::string_view DEFAULT_ORIGIN = "https://www.sellersprite.com";
  static constexpr const char* ENV_VAR = "VENDRO_SELLERSPRITE_ORIGIN";

  // Parses "scheme://host[:port]" (http or https; a trailing "/" is allowed). Throws
  // SellerSpriteConfigError naming the value (user info masked) when it has a path, a query,
  // user info, or no host.
  static SellerSpriteOrigin parse(std::string_view text);
  // The configured origin: $VENDRO_SELLERSPRITE_ORIGIN when set, else DEFAULT_ORIGIN.
  static SellerSpriteOrigin from_environment();

  // "https://www.sellersprite.com": no trailing "/".
  const std::string& origin() const { return origin_; }
  // The host name in lower case, without port.
  const std::string& host() const { return host_; }
  // The host without a leading "www." ("sellersprite.com").
  std::string site_domain() const;
  // origin() + path; `path` starts with "/".
  std::string url(std::string_view path) const { return origin_ + std::string(path); }

 private:
  std::string origin_;
  std::string host_;
};

}  // namespace vendro::seller_sprite
