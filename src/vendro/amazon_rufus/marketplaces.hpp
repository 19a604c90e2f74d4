#pragma once
// The Amazon marketplaces a product page can be opened on, by country code.

#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/json.hpp"

namespace vendro::amazon_rufus {

struct Marketplace {
  std::string country;         // the code used everywhere else, upper case ("US", "UK")
  std::string domain;          // the store's domain without "www." ("amazon.co.uk")
  std::string name;            // Chinese name for people ("英国")
  std::string marketplace_id;  // Amazon's marketplace id ("A1F83G8C2ARO7P")

  // {"country", "domain", "name", "marketplace_id"}.
  Json to_json() const;
};

// Every marketplace, in a fixed order (the Americas, Europe and the Middle East, Asia-Pacific).
const std::vector<Marketplace>& all_marketplaces();

// The marketplace of `country`: any case, surrounding white space ignored, the usual aliases
// accepted ("GB" for "UK", "UAE" for "AE", "KSA" for "SA"). Throws UnknownMarketplaceError whose
// Chinese message lists the known codes.
Marketplace resolve_marketplace(std::string_view country);

// "https://www.<domain>/dp/<asin>" for the marketplace of `country`. The ASIN is not changed
// except that every byte other than ASCII letters, digits and "-._~" is percent-encoded, so it
// cannot reach past the path segment. Throws UnknownMarketplaceError.
std::string build_product_url(std::string_view asin, std::string_view country);

}  // namespace vendro::amazon_rufus
