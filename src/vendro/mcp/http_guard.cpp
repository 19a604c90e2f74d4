#include "vendro/mcp/http_guard.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace vendro::mcp {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool valid_port(std::string_view port) {
  return !port.empty() && port.size() <= 5 &&
         std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }) &&
         std::stoi(std::string(port)) <= 65535;
}

// "scheme://authority" with nothing after the authority but an optional "/".
std::optional<std::pair<std::string, std::string>> split_origin(std::string_view origin) {
  auto scheme_end = origin.find("://");
  if (scheme_end == std::string_view::npos) return std::nullopt;
  std::string_view authority = origin.substr(scheme_end + 3);
  if (!authority.empty() && authority.back() == '/') authority.remove_suffix(1);
  if (authority.find_first_of("/?#@") != std::string_view::npos) return std::nullopt;
  return std::make_pair(lower(origin.substr(0, scheme_end)), std::string(authority));
}

std::string normalised_origin(std::string_view origin) {
  std::string text = lower(origin);
  if (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

bool is_loopback_host(std::string_view host) {
  const std::string name = lower(host);
  if (name == "localhost" || name == "::1") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::optional<std::string> authority_host(std::string_view authority) {
  if (authority.empty()) return std::nullopt;
  std::string_view host = authority;
  std::string_view port;
  if (authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
      if (!valid_port(port)) return std::nullopt;
    }
  } else {
    auto colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (!valid_port(port) || host.find(':') != std::string_view::npos) return std::nullopt;
    }
  }
  if (host.empty()) return std::nullopt;
  return lower(host);
}

bool host_allowed(std::string_view host_header, std::string_view bound_host,
                  const std::vector<std::string>& allowed_hosts) {
  auto host = authority_host(host_header);
  if (!host) return false;
  if (is_loopback_host(*host) || *host == lower(bound_host)) return true;
  return std::any_of(allowed_hosts.begin(), allowed_hosts.end(),
                     [&](const std::string& allowed) { return lower(allowed) == *host; });
}

bool origin_allowed(std::string_view origin, const std::vector<std::string>& allowed_origins) {
  const std::string given = normalised_origin(origin);
  if (std::any_of(allowed_origins.begin(), allowed_origins.end(), [&](const std::string& allowed) {
        return normalised_origin(allowed) == given;
      })) {
    return true;
  }
  auto parts = split_origin(origin);
  if (!parts || (parts->first != "http" && parts->first != "https")) return false;
  auto host = authority_host(parts->second);
  return host && is_loopback_host(*host);
}

bool bearer_matches(std::string_view authorization, std::string_view key) {
  constexpr std::string_view scheme = "bearer ";
  if (key.empty() || authorization.size() < scheme.size() ||
      lower(authorization.substr(0, scheme.size())) != scheme) {
    return false;
  }
  std::string_view given = authorization.substr(scheme.size());
  // Every byte of the key is compared whatever the given text is, so the time depends on the
  // key's length only.
  unsigned char difference = given.size() == key.size() ? 0 : 1;
  for (std::size_t i = 0; i < key.size(); ++i) {
    unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(key[i]));
  }
  return difference == 0;
}

}  // namespace vendro::mcp
