#include "vendro/amazon_rufus/marketplaces.hpp"

#include <gtest/gtest.h>

#include <set>

#include "vendro/amazon_rufus/errors.hpp"

namespace vendro::amazon_rufus {
namespace {

TEST(RufusMarketplaces, EveryStoreResolvesToItsDomain) {
  const std::pair<const char*, const char*> stores[] = {
      {"US", "amazon.com"},    {"CA", "amazon.ca"},     {"MX", "amazon.com.mx"},
      {"BR", "amazon.com.br"}, {"UK", "amazon.co.uk"},  {"DE", "amazon.de"},
      {"FR", "amazon.fr"},     {"IT", "amazon.it"},     {"ES", "amazon.es"},
      {"NL", "amazon.nl"},     {"SE", "amazon.se"},     {"PL", "amazon.pl"},
      {"BE", "amazon.com.be"}, {"TR", "amazon.com.tr"}, {"AE", "amazon.ae"},
      {"SA", "amazon.sa"},     {"EG", "amazon.eg"},     {"IN", "amazon.in"},
      {"JP", "amazon.co.jp"},  {"AU", "amazon.com.au"}, {"SG", "amazon.sg"},
      {"IE", "amazon.ie"},     {"ZA", "amazon.co.za"}};
  for (const auto& [country, domain] : stores) {
    EXPECT_EQ(resolve_marketplace(country).domain, domain) << country;
  }
  // No code twice, every record complete.
  std::set<std::string> codes;
  for (const auto& marketplace : all_marketplaces()) {
    EXPECT_TRUE(codes.insert(marketplace.country).second) << marketplace.country;
    EXPECT_FALSE(marketplace.name.empty()) << marketplace.country;
  }
  EXPECT_EQ(codes.size(), std::size(stores));
}

TEST(RufusMarketplaces, CodesInAnyCaseWithBlanksAndAliases) {
  EXPECT_EQ(resolve_marketplace(" us\t").country, "US");
  EXPECT_EQ(resolve_marketplace("gb").country, "UK");
  EXPECT_EQ(resolve_marketplace("\u3000Uae").country, "AE");
  EXPECT_EQ(
      resolve_marketplace("Jp").to_json().dump(),
      R"({"country":"JP","domain":"amazon.co.jp","name":"日本","marketplace_id":"A1VC38T7YXB528"})");
}

// The message of the error `code` raises; a failure when it raises none.
std::string unknown_message(const std::string& code) {
  try {
    resolve_marketplace(code);
  } catch (const UnknownMarketplaceError& e) {
    EXPECT_EQ(e.code(), "RUFUS_UNKNOWN_MARKETPLACE");
    return e.what();
  }
  ADD_FAILURE() << "accepted " << code;
  return "";
}

TEST(RufusMarketplaces, UnknownCodeNamesTheKnownOnes) {
  EXPECT_EQ(unknown_message(" xx "),
            "未知的亚马逊站点: xx（可用: US, CA, MX, BR, UK, IE, DE, FR, IT, ES, NL, SE, PL, BE, "
            "TR, AE, SA, EG, ZA, IN, JP, AU, SG）");
  for (const char* bad : {"", "U S", "usa", "amazon.com"}) {
    EXPECT_TRUE(unknown_message(bad).starts_with("未知的亚马逊站点: ")) << bad;
  }
  EXPECT_THROW(resolve_marketplace("XX"), InputError);
  // A huge argument is not echoed whole.
  EXPECT_LT(unknown_message(std::string(10000, 'q')).size(), 300u);
}

TEST(RufusMarketplaces, ProductUrlKeepsTheAsinInItsPathSegment) {
  EXPECT_EQ(build_product_url("B0ABC12345", " de "), "https://www.amazon.de/dp/B0ABC12345");
  EXPECT_EQ(build_product_url("b0/../x?y#z", "gb"),
            "https://www.amazon.co.uk/dp/b0%2F..%2Fx%3Fy%23z");
  EXPECT_THROW(build_product_url("B0ABC12345", "XX"), UnknownMarketplaceError);
}

}  // namespace
}  // namespace vendro::amazon_rufus
