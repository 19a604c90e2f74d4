#pragma once
// The generic URI syntax of RFC 3986, for URLs that come from outside (a page address, a request
// caught in the browser) where a validating parser would refuse or rewrite what it is given: the
// split never fails and keeps every part as written. Also the form-data encoding of query strings
// (application/x-www-form-urlencoded) and the percent-encoding of one URL component.
//
// All functions are pure and work on bytes; no network, no normalisation beyond what is said.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vendro::uri {

// The five components of a URI reference (RFC 3986 section 3 and appendix B). A component that
// is absent differs from one that is present and empty ("http://h/?" has an empty query).
struct UriParts {
  std::optional<std::string> scheme;     // without ":"; only when it is a well-formed scheme
  std::optional<std::string> authority;  // after "//", up to the path
  std::string path;
  std::optional<std::string> query;     // after "?", without it
  std::optional<std::string> fragment;  // after "#", without it

  // The host of the authority: user information and port removed, lower-cased; an IPv6 or
  // IPvFuture literal keeps its brackets. "" when there is no authority or its host is empty.
  std::string host() const;

  // The reference written back (RFC 3986 section 5.3): each present component with its
  // delimiter. split(text).to_string() == text for every text.
  std::string to_string() const;
};

// Splits `text` into its components. Never fails: text that is no URI at all comes back as a
// path. A scheme must start with a letter and hold only letters, digits, "+", "-" and ".";
// otherwise the text has none ("1http://x" is a path).
UriParts split(std::string_view text);

// The host of `text` as UriParts::host() gives it; "" when it has none.
std::string host_of(std::string_view text);

// `bytes` with every byte except the unreserved ASCII letters, digits, "-", ".", "_" and "~"
// written as "%XX" (upper-case hex). Safe for any single path segment or query value.
std::string percent_encode(std::string_view bytes);

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Form-data decoding of a query string: fields split at "&", empty fields skipped, each field
// split at its first "=" (no "=": the value is empty), "+" read as a blank, "%XX" decoded (a "%"
// not followed by two hex digits stays as it is), and the bytes read as UTF-8 with each invalid
// sequence replaced by U+FFFD. Fields keep their order; repeated names are all kept.
FormFields decode_form(std::string_view query);

// Form-data encoding: "name=value" joined by "&"; letters, digits, "_", ".", "-" and "~" stay,
// a blank becomes "+", every other byte "%XX" (upper-case hex).
std::string encode_form(const FormFields& fields);

}  // namespace vendro::uri
