#pragma once
// What one SellerSprite collection is asked for: the options record the collector reads and the
// optional account it may log in with.

#include <map>
#include <optional>
#include <string>

namespace vendro::seller_sprite {

struct SellerSpriteCollectOptions {
  // Marketplace: a code of SellerSpriteScraper::SITE_LABELS in any letter case ("us", "JP"), or
  // the dropdown's own label ("美国站"), which is used unchanged.
  std::string site = "us";
  // Period: a code of PERIOD_LABELS in any letter case ("30d"), or the dropdown's label.
  std::string period = "30d";
  // The keyword to search; empty or absent is not typed.
  std::optional<std::string> keyword;
  // ASIN or product link of the reverse lookup; absent types the empty text.
  std::optional<std::string> asin;
  // Phrase length of the high-frequency words: 1, 2, or any other value as a custom number.
  long long frequency_phrase_count = 1;
  // How many result rows get their trend details; 0 collects none.
  long long trend_limit = 0;
  // Which trend tabs to open: "all", or a comma list of tab keys ("search,ppc").
  std::string trend_tabs = "all";
  // The page that archive_url archives.
  std::string url;
};

// SellerSprite credentials: "username" and "password"; other keys are ignored. An empty map
// counts as no account.
using Account = std::map<std::string, std::string>;

}  // namespace vendro::seller_sprite
