#include "vendro/amazon_rufus/marketplaces.hpp"

#include "vendro/amazon_rufus/errors.hpp"
#include "vendro/core/text.hpp"
#include "vendro/core/uri.hpp"

namespace vendro::amazon_rufus {

namespace {

// Marketplace ids as Amazon's Selling Partner API lists them.
const std::vector<Marketplace> MARKETPLACES = {
    {"US", "amazon.com", "美国", "ATVPDKIKX0DER"},
    {"CA", "amazon.ca", "加拿大", "A2EUQ1WTGCTBG2"},
    {"MX", "amazon.com.mx", "墨西哥", "A1AM78C64UM0Y8"},
    {"BR", "amazon.com.br", "巴西", "A2Q3Y263D00KWC"},
    {"UK", "amazon.co.uk", "英国", "A1F83G8C2ARO7P"},
    {"IE", "amazon.ie", "爱尔兰", "A28R8C7NBKEWEA"},
    {"DE", "amazon.de", "德国", "A1PA6795UKMFR9"},
    {"FR", "amazon.fr", "法国", "A13V1IB3VIYZZH"},
    {"IT", "amazon.it", "意大利", "APJ6JRA9NG5V4"},
    {"ES", "amazon.es", "西班牙", "A1RKKUPIHCS9HS"},
    {"NL", "amazon.nl", "荷兰", "A1805IZSGTT6HS"},
    {"SE", "amazon.se", "瑞典", "A2NODRKZP88ZB9"},
    {"PL", "amazon.pl", "波兰", "A1C3SOZRARQ6R3"},
    {"BE", "amazon.com.be", "比利时", "AMEN7PMS3EDWL"},
    {"TR", "amazon.com.tr", "土耳其", "A33AVAJ2PDY3EV"},
    {"AE", "amazon.ae", "阿联酋", "A2VIGQ35RCS4UG"},
    {"SA", "amazon.sa", "沙特阿拉伯", "A17E79C6D8DWNP"},
    {"EG", "amazon.eg", "埃及", "ARBP9OOSHTCHU"},
    {"ZA", "amazon.co.za", "南非", "AE08WJ6YKNBMC"},
    {"IN", "amazon.in", "印度", "A21TJRUUN4KGV"},
    {"JP", "amazon.co.jp", "日本", "A1VC38T7YXB528"},
    {"AU", "amazon.com.au", "澳大利亚", "A39IBJ37TRP1C6"},
    {"SG", "amazon.sg", "新加坡", "A19VAU5U5O7RUS"},
};

struct Alias {
  std::string_view alias;
  std::string_view country;
};
constexpr Alias ALIASES[] = {{"GB", "UK"}, {"UAE", "AE"}, {"KSA", "SA"}};

std::string known_codes() {
  std::string codes;
  for (const auto& marketplace : MARKETPLACES) {
    if (!codes.empty()) codes += ", ";
    codes += marketplace.country;
  }
  return codes;
}

}  // namespace

Json Marketplace::to_json() const {
  return Json{
      {"country", country}, {"domain", domain}, {"name", name}, {"marketplace_id", marketplace_id}};
}

const std::vector<Marketplace>& all_marketplaces() {
  return MARKETPLACES;
}

Marketplace resolve_marketplace(std::string_view country) {
  const std::string given = text::strip(country);
  std::string code = text::to_upper(given);
  for (const auto& [alias, target] : ALIASES) {
    if (code == alias) code = target;
  }
  for (const auto& marketplace : MARKETPLACES) {
    if (marketplace.country == code) return marketplace;
  }
  // The code comes from the command line; a bounded part of it is enough to recognise.
  throw UnknownMarketplaceError("未知的亚马逊站点: " + text::first_code_points(given, 32) +
                                "（可用: " + known_codes() + "）");
}

std::string build_product_url(std::string_view asin, std::string_view country) {
  return "https://www." + resolve_marketplace(country).domain + "/dp/" + uri::percent_encode(asin);
}

}  // namespace vendro::amazon_rufus
