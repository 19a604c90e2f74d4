// The pure parts of the trend walk and the form labels: slugs, section names, keyword lists,
// tab choices, dropdown labels.

#include <gtest/gtest.h>

#include "vendro/core/text.hpp"
#include "vendro/seller_sprite/scraper.hpp"

namespace vendro::seller_sprite {
namespace {

using Scraper = SellerSpriteScraper;

std::vector<std::string> tab_keys(std::string_view trend_tabs) {
  std::vector<std::string> keys;
  for (const Label& tab : Scraper::_selected_trend_tabs(trend_tabs)) keys.emplace_back(tab.first);
  return keys;
}

TEST(SellerSpriteSlug, KeepsLettersOfAnyScriptAndCollapsesTheRest) {
  EXPECT_EQ(Scraper::_slug("Wireless Earbuds!"), "wireless_earbuds");
  EXPECT_EQ(Scraper::_slug("无线耳机 蓝牙"), "无线耳机_蓝牙");
  EXPECT_EQ(Scraper::_slug("---"), "keyword");
  EXPECT_EQ(Scraper::_slug(""), "keyword");
  EXPECT_EQ(Scraper::_slug("  USB-C  Cable__2m "), "usb_c_cable_2m");
  EXPECT_EQ(Scraper::_slug("Ünïcödé ½"), "ünïcödé_½");
  // 40 code points at most; a "_" at the end of the cut stays.
  EXPECT_EQ(Scraper::_slug(std::string(39, 'a') + " b"), std::string(39, 'a') + "_");
  EXPECT_EQ(text::length(Scraper::_slug(std::string(50, 'x'))), 40u);
  EXPECT_EQ(
      Scraper::_slug(
          "蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙"),
      "蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机蓝牙耳机");
}

TEST(SellerSpriteTrendSection, PadsTheRowToTwoDigits) {
  EXPECT_EQ(Scraper::_trend_section(1, "Wireless Earbuds", "search"),
            "trend_01_wireless_earbuds_search");
  EXPECT_EQ(Scraper::_trend_section(9, "USB-C Cable", "aba"), "trend_09_usb_c_cable_aba");
  EXPECT_EQ(Scraper::_trend_section(12, "x", "ppc"), "trend_12_x_ppc");
  EXPECT_EQ(Scraper::_trend_section(100, "", "market"), "trend_100_keyword_market");
}

TEST(SellerSpriteKeywords, TakesKeywordOrKeywordsOfEachMapItem) {
  Json payload = Json::parse(R"({"data": {"items": [
      {"keyword": ""}, {"keywords": "b"}, "x", {"keyword": "c"}, {"keyword": 0, "keywords": 42},
      {"keyword": null}, {"keyword": "c"}, {"keyword": 1.5}]}})");
  EXPECT_EQ(Scraper::_keywords_from_payload(payload),
            (std::vector<std::string>{"b", "c", "42", "c", "1.5"}));
  EXPECT_TRUE(Scraper::_keywords_from_payload(Json::parse(R"({"code": "OK"})")).empty());
  EXPECT_TRUE(Scraper::_keywords_from_payload(Json::parse(R"({"data": {"items": {}}})")).empty());
  EXPECT_TRUE(Scraper::_keywords_from_payload(Json::parse(R"({"data": []})")).empty());
  EXPECT_TRUE(Scraper::_keywords_from_payload(Json::parse("[1, 2]")).empty());
  EXPECT_TRUE(Scraper::_keywords_from_payload(nullptr).empty());
}

TEST(SellerSpriteTrendTabs, KeepsKnownKeysInTheGivenOrderElseAll) {
  const std::vector<std::string> all = {"search", "google", "aba", "ppc", "market"};
  EXPECT_EQ(tab_keys("all"), all);
  EXPECT_EQ(tab_keys(""), all);
  EXPECT_EQ(tab_keys("nosuch"), all);
  EXPECT_EQ(tab_keys("SEARCH,PPC"), all);  // keys are case-sensitive
  EXPECT_EQ(tab_keys("ppc, ,search"), (std::vector<std::string>{"ppc", "search"}));
  EXPECT_EQ(tab_keys(" aba ,aba,x"), (std::vector<std::string>{"aba", "aba"}));
  EXPECT_EQ(Scraper::_selected_trend_tabs("ppc").front().second, "PPC竞价");
}

TEST(SellerSpriteLabels, MapCodesInAnyCaseAndPassLabelsThrough) {
  EXPECT_EQ(Scraper::_label_for(Scraper::SITE_LABELS, "US"), "美国站");
  EXPECT_EQ(Scraper::_label_for(Scraper::SITE_LABELS, "jp"), "日本站");
  EXPECT_EQ(Scraper::_label_for(Scraper::SITE_LABELS, "ae"), "阿联酋");
  EXPECT_EQ(Scraper::_label_for(Scraper::SITE_LABELS, "美国站"), "美国站");
  EXPECT_EQ(Scraper::_label_for(Scraper::SITE_LABELS, "nz"), "nz");
  EXPECT_EQ(Scraper::_label_for(Scraper::PERIOD_LABELS, "30D"), "最近30天");
  EXPECT_EQ(Scraper::_label_for(Scraper::PERIOD_LABELS, "最近7天"), "最近7天");
}

}  // namespace
}  // namespace vendro::seller_sprite
