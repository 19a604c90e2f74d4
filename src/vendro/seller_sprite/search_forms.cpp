// Search forms: the site and period dropdowns, the keyword and ASIN inputs, the search button and
// the phrase length of the high-frequency words, filled by clicking and typing like a user.

#include "vendro/core/text.hpp"
#include "vendro/seller_sprite/scraper.hpp"

namespace vendro::seller_sprite {

namespace {

constexpr const char* SITE_TRIGGER =
    ".el-input-group__prepend .el-select:not(.date-select) .el-input";
constexpr const char* PERIOD_TRIGGER = ".el-input-group__prepend .date-select .el-input";
constexpr const char* DROPDOWN_OPTIONS = ".el-select-dropdown__item:visible";
constexpr const char* KEYWORD_INPUT = "input[placeholder*='输入关键词']";
constexpr const char* ASIN_INPUT = "input[placeholder*='ASIN'], input[placeholder*='产品链接']";
constexpr const char* SEARCH_BUTTON = "button:has-text('立即查询')";
constexpr const char* ONE_WORD_RADIO = "label.el-radio:has-text('一个词')";
constexpr const char* TWO_WORDS_RADIO = "label.el-radio:has-text('两个词')";
constexpr const char* CUSTOM_RADIO = "label.el-radio:has(input[value='custom'])";
constexpr const char* CUSTOM_NUMBER = ".el-input-number input";

constexpr long long DROPDOWN_CLICK_TIMEOUT_MS = 10000;
constexpr long long AFTER_DROPDOWN_WAIT_MS = 500;
constexpr long long RADIO_CLICK_TIMEOUT_MS = 5000;
constexpr long long AFTER_PHRASE_COUNT_WAIT_MS = 1000;

}  // namespace

template <std::size_t N>
std::string SellerSpriteScraper::_label_for(const std::array<Label, N>& table,
                                            std::string_view code) {
  const std::string lower = text::to_lower(code);
  for (const auto& [key, label] : table) {
    if (key == lower) return std::string(label);
  }
  return std::string(code);
}

asio::awaitable<void> SellerSpriteScraper::_fill_keyword_form(std::shared_ptr<browser::Page> page,
                                                              SellerSpriteCollectOptions options) {
  co_await _select_site(page, options.site);
  co_await _select_period(page, options.period);
  if (options.keyword && !options.keyword->empty()) {
    browser::Locator input = page->locator(KEYWORD_INPUT).first();
    co_await input.fill(*options.keyword);
  }
  browser::Locator search = page->locator(SEARCH_BUTTON).first();
  co_await search.click();
}

asio::awaitable<void> SellerSpriteScraper::_fill_keyword_reverse_form(
    std::shared_ptr<browser::Page> page, SellerSpriteCollectOptions options) {
  co_await _select_site(page, options.site);
  co_await _select_period(page, options.period);
  // Always filled, which also clears an earlier value.
  std::string asin = options.asin.value_or("");
  browser::Locator input = page->locator(ASIN_INPUT).first();
  co_await input.fill(asin);
  browser::Locator search = page->locator(SEARCH_BUTTON).first();
  co_await search.click();
}

asio::awaitable<void> SellerSpriteScraper::_select_site(std::shared_ptr<browser::Page> page,
                                                        std::string site) {
  std::string label = _label_for(SITE_LABELS, site);
  co_await _select_element_dropdown(page, SITE_TRIGGER, label);
}

asio::awaitable<void> SellerSpriteScraper::_select_period(std::shared_ptr<browser::Page> page,
                                                          std::string period) {
  std::string label = _label_for(PERIOD_LABELS, period);
  co_await _select_element_dropdown(page, PERIOD_TRIGGER, label);
}

asio::awaitable<void> SellerSpriteScraper::_select_element_dropdown(
    std::shared_ptr<browser::Page> page, std::string trigger_selector, std::string target_label) {
  const browser::ActionOptions within{.timeout_ms = DROPDOWN_CLICK_TIMEOUT_MS};
  browser::Locator trigger = page->locator(trigger_selector).first();
  co_await trigger.click(within);
  // The options live in the body, outside the picker: the open dropdown's are the visible ones.
  browser::Locator option = page->locator(DROPDOWN_OPTIONS).filter(target_label).first();
  co_await option.click(within);
  co_await page->wait_for_timeout(AFTER_DROPDOWN_WAIT_MS);
}

asio::awaitable<void> SellerSpriteScraper::_set_frequency_phrase_count(
    std::shared_ptr<browser::Page> page, long long phrase_count) {
  const browser::ActionOptions within{.timeout_ms = RADIO_CLICK_TIMEOUT_MS};
  const char* radio = phrase_count == 1   ? ONE_WORD_RADIO
                      : phrase_count == 2 ? TWO_WORDS_RADIO
                                          : CUSTOM_RADIO;
  browser::Locator choice = page->locator(radio).first();
  co_await choice.click(within);
  if (phrase_count != 1 && phrase_count != 2) {
    browser::Locator number = page->locator(CUSTOM_NUMBER).first();
    std::string count = std::to_string(phrase_count);
    co_await number.fill(count);
  }
  co_await page->wait_for_timeout(AFTER_PHRASE_COUNT_WAIT_MS);
}

template std::string SellerSpriteScraper::_label_for(const std::array<Label, 13>&,
                                                     std::string_view);
template std::string SellerSpriteScraper::_label_for(const std::array<Label, 1>&, std::string_view);

}  // namespace vendro::seller_sprite
