#pragma once
// The pure pieces of a seed capture: the user's cookie header turned into browser cookies, the
// recognition of the Rufus streaming request, and its tab id. Nothing here touches the network
// or the browser, and nothing fails on bad content.

#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/json.hpp"

namespace vendro::amazon_rufus {

// The path every Rufus streaming request carries.
inline constexpr std::string_view RUFUS_STREAMING_PATH = "/rufus/cl/streaming";

struct CookiePair {
  std::string name;
  std::string value;
  bool operator==(const CookiePair&) const = default;
};

// The pairs of a Cookie header value ("a=1; b=2"), in order, repeated names kept. Each piece
// between ";" is trimmed; a piece without "=" or with an empty name is skipped; name and value
// are split at the first "=" and trimmed (an empty value is kept). Nothing is unquoted or
// decoded, and attributes such as "Path=/" are ordinary pairs.
std::vector<CookiePair> _parse_cookie_header(std::string_view cookie);

// The list the driver's add_cookies takes: one {"name", "value", "domain", "path", "secure"} per
// pair, where "domain" is page_host(page_url) without leading dots, "path" is "/" and "secure"
// is true exactly when the URL's scheme is "https" in any case.
Json build_browser_cookies(const std::vector<CookiePair>& pairs, std::string_view page_url);

// The host of `url` (RFC 3986): lower case, without user information or port; "" when none.
std::string page_host(std::string_view url);

// True when `request_url` contains RUFUS_STREAMING_PATH (case-sensitive).
bool is_rufus_request(std::string_view request_url);

// The Rufus tab id of a request: the text after the first "tabId=" of the URL up to the next "&"
// (undecoded; a plain substring match), else the body's JSON member "tabId" if truthy, else its
// "tab_id" if truthy; a string as it is, any other value as compact JSON (7 gives "7"). "" when
// none is found or the body is not a JSON object.
std::string _extract_tab_id(std::string_view request_url, std::string_view request_body);

}  // namespace vendro::amazon_rufus
