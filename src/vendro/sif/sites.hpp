#pragma once
// Sif marketplace normalisation: whatever a user typed for a marketplace ("us", "美国站", "GB",
// nothing at all) becomes the site code the Sif keyword service expects. Pure and stateless;
// safe from any thread.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vendro/sif/errors.hpp"

namespace vendro::sif {

// Alias text → site code, matched exactly (case-sensitive), in table order. Every code is also
// an alias of itself; "GB" is only an alias of "UK".
const std::vector<std::pair<std::string, std::string>>& site_aliases();

// The distinct site codes, sorted: "AE", "AU", ..., "US".
std::vector<std::string> supported_site_codes();

// The Sif site code for `value`. Absent, empty or blank means "US". Surrounding white space is
// ignored;
// the alias is looked up as given, then upper-cased (so "us" and "Usa" work, while Chinese names
// must match exactly). Throws SifSiteNotSupportedError naming the value as given and the codes
// that are supported.
std::string normalize_site(std::optional<std::string_view> value);

}  // namespace vendro::sif
