#include "vendro/amazon_rufus/seed_request.hpp"

#include "vendro/core/text.hpp"
#include "vendro/core/uri.hpp"

namespace vendro::amazon_rufus {

std::vector<CookiePair> _parse_cookie_header(std::string_view cookie) {
  std::vector<CookiePair> pairs;
  while (!cookie.empty()) {
    auto semicolon = cookie.find(';');
    const std::string piece = text::strip(cookie.substr(0, semicolon));
    cookie.remove_prefix(semicolon == std::string_view::npos ? cookie.size() : semicolon + 1);
    auto eq = piece.find('=');
    if (eq == std::string::npos) continue;
    std::string name = text::strip(std::string_view(piece).substr(0, eq));
    if (name.empty()) continue;
    pairs.push_back({std::move(name), text::strip(std::string_view(piece).substr(eq + 1))});
  }
  return pairs;
}

Json build_browser_cookies(const std::vector<CookiePair>& pairs, std::string_view page_url) {
  const uri::UriParts url = uri::split(page_url);
  std::string domain = url.host();
  domain.erase(0, domain.find_first_not_of('.'));
  const bool secure = url.scheme && text::to_lower(*url.scheme) == "https";
  Json cookies = Json::array();
  for (const auto& pair : pairs) {
    cookies.push_back(Json{{"name", pair.name},
                           {"value", pair.value},
                           {"domain", domain},
                           {"path", "/"},
                           {"secure", secure}});
  }
  return cookies;
}

std::string page_host(std::string_view url) {
  return uri::host_of(url);
}

bool is_rufus_request(std::string_view request_url) {
  return request_url.find(RUFUS_STREAMING_PATH) != std::string_view::npos;
}

std::string _extract_tab_id(std::string_view request_url, std::string_view request_body) {
  constexpr std::string_view KEY = "tabId=";
  if (auto at = request_url.find(KEY); at != std::string_view::npos) {
    std::string_view rest = request_url.substr(at + KEY.size());
    return std::string(rest.substr(0, rest.find('&')));
  }
  Json body;
  try {
    body = try_parse_json(request_body, "seed request body");
  } catch (const JsonError&) {
    return "";  // too deep or an impossible number: no tab id in it either
  }
  if (!body.is_object()) return "";
  Json id = body.contains("tabId") && truthy(body["tabId"]) ? body["tabId"]
                                                            : body.value("tab_id", Json());
  if (!truthy(id)) return "";
  return id.is_string() ? id.get<std::string>() : to_compact_json(id);
}

}  // namespace vendro::amazon_rufus
