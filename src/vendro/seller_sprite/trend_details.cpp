// Trend details: opening the trend drawer of the first result rows, clicking through the chosen
// tabs, capturing the site's JSON answers per tab and archiving the drawer's chart.

#include <utf8proc.h>

#include <cstdio>

#include "vendro/core/text.hpp"
#include "vendro/seller_sprite/scraper.hpp"

namespace vendro::seller_sprite {

namespace {

constexpr const char* TREND_ICONS = ".icon-historical-trend:visible";
constexpr const char* ROW_OF_ICON = "xpath=ancestor::tr[1]";
constexpr const char* DRAWER_TABS = ".el-tabs__item:visible";
constexpr const char* CLOSE_BUTTON = ".close-btn";
constexpr const char* NOT_A_KEYWORD = "AC";
constexpr const char* FALLBACK_SLUG = "keyword";
constexpr std::size_t SLUG_LIMIT = 40;
constexpr const char* RESPONSES_FILE = "responses.json";

constexpr long long DRAWER_STEP_TIMEOUT_MS = 10000;
constexpr long long ROW_TEXT_TIMEOUT_MS = 3000;
constexpr long long AFTER_OPEN_WAIT_MS = 1500;
constexpr long long AFTER_TAB_WAIT_MS = 2000;

std::string fallback_keyword(int index) {
  return "keyword_" + std::to_string(index + 1);
}

// Letters of any script and numbers of any kind, as a slug keeps them.
bool alphanumeric(utf8proc_int32_t code_point) {
  switch (utf8proc_category(code_point)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return true;
    default:
      return false;
  }
}

// True when `line` is digits only (decimal digits of any script).
bool digits_only(std::string_view line) {
  if (line.empty()) return false;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(line.data());
  utf8proc_ssize_t at = 0;
  const auto size = static_cast<utf8proc_ssize_t>(line.size());
  while (at < size) {
    utf8proc_int32_t code_point = 0;
    utf8proc_ssize_t used = utf8proc_iterate(bytes + at, size - at, &code_point);
    if (used <= 0 || utf8proc_category(code_point) != UTF8PROC_CATEGORY_ND) return false;
    at += used;
  }
  return true;
}

// The text form of a keyword value: text unchanged, numbers in decimal, anything else as JSON.
std::string keyword_text(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  return to_compact_json(value);
}

}  // namespace

std::vector<std::string> SellerSpriteScraper::_keywords_from_payload(const Json& payload) {
  std::vector<std::string> keywords;
  if (!payload.is_object()) return keywords;
  auto data = payload.find("data");
  if (data == payload.end() || !data->is_object()) return keywords;
  auto items = data->find("items");
  if (items == data->end() || !items->is_array()) return keywords;
  for (const Json& item : *items) {
    if (!item.is_object()) continue;
    Json value = item.contains("keyword") && truthy(item["keyword"])
                     ? item["keyword"]
                     : item.value("keywords", Json());
    if (truthy(value)) keywords.push_back(keyword_text(value));
  }
  return keywords;
}

std::vector<Label> SellerSpriteScraper::_selected_trend_tabs(std::string_view trend_tabs) {
  std::vector<Label> all(TREND_TABS.begin(), TREND_TABS.end());
  if (trend_tabs == "all") return all;
  std::vector<Label> chosen;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = trend_tabs.find(',', start);
    std::string piece = text::strip(
        trend_tabs.substr(start, comma == std::string_view::npos ? comma : comma - start));
    for (const Label& tab : TREND_TABS) {
      if (tab.first == piece) chosen.push_back(tab);
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return chosen.empty() ? all : chosen;
}

std::string SellerSpriteScraper::_slug(std::string_view value) {
  std::string mapped;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(value.data());
  const auto size = static_cast<utf8proc_ssize_t>(value.size());
  utf8proc_ssize_t at = 0;
  while (at < size) {
    utf8proc_int32_t code_point = 0;
    utf8proc_ssize_t used = utf8proc_iterate(bytes + at, size - at, &code_point);
    if (used <= 0) {  // an invalid byte is no letter
      mapped += '_';
      ++at;
      continue;
    }
    if (alphanumeric(code_point)) {
      utf8proc_uint8_t encoded[4];
      utf8proc_ssize_t length = utf8proc_encode_char(utf8proc_tolower(code_point), encoded);
      mapped.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
    } else {
      mapped += '_';
    }
    at += used;
  }
  // Runs of "_" collapse to one; leading and trailing ones go.
  std::string slug;
  for (char c : mapped) {
    if (c == '_' && (slug.empty() || slug.back() == '_')) continue;
    slug += c;
  }
  if (!slug.empty() && slug.back() == '_') slug.pop_back();
  if (slug.empty()) slug = FALLBACK_SLUG;
  return text::first_code_points(slug, SLUG_LIMIT);
}

std::string SellerSpriteScraper::_trend_section(int row, std::string_view keyword,
                                                std::string_view tab_key) {
  char number[16];
  std::snprintf(number, sizeof number, "%02d", row);
  return "trend_" + std::string(number) + "_" + _slug(keyword) + "_" + std::string(tab_key);
}

asio::awaitable<std::string> SellerSpriteScraper::_keyword_from_trend_icon(browser::Locator icon,
                                                                           int index) {
  browser::Locator row = icon.locator(ROW_OF_ICON);
  const browser::ActionOptions within{.timeout_ms = ROW_TEXT_TIMEOUT_MS};
  std::string row_text;
  try {
    row_text = co_await row.inner_text(within);
  } catch (const std::exception&) {
    co_return fallback_keyword(index);
  }
  std::size_t start = 0;
  while (start <= row_text.size()) {
    std::size_t end = row_text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = row_text.size();
    std::string line = text::strip(std::string_view(row_text).substr(start, end - start));
    if (!line.empty() && !digits_only(line) && line != NOT_A_KEYWORD) co_return line;
    start = end + 1;
  }
  co_return fallback_keyword(index);
}

asio::awaitable<void> SellerSpriteScraper::_capture_sellersprite_json(
    std::shared_ptr<browser::Response> response, std::shared_ptr<Json> responses) {
  if (text::to_lower(response->url()).find(origin_.site_domain()) == std::string::npos) {
    co_return;
  }
  Json payload;
  try {
    payload = co_await response->json();
  } catch (const std::exception&) {
    co_return;  // not JSON, no body, or the page is gone
  }
  Json captured = Json::object();
  captured["url"] = response->url();
  captured["status"] = response->status();
  captured["payload"] = std::move(payload);
  responses->push_back(std::move(captured));
}

asio::awaitable<Json> SellerSpriteScraper::_collect_trend_details(
    std::shared_ptr<browser::Page> page, SellerSpriteCollectOptions options,
    std::filesystem::path run_dir, std::optional<std::vector<std::string>> keywords) {
  SellerSpriteArchiver archiver(run_dir);
  Json files = Json::object();
  Json trend_details = Json::array();
  const std::vector<Label> tab_items = _selected_trend_tabs(options.trend_tabs);
  const std::vector<std::string> candidates = keywords ? *keywords : std::vector<std::string>{};

  browser::Locator icons = page->locator(TREND_ICONS);
  const long long count = co_await icons.count();
  const long long icon_count = count < options.trend_limit ? count : options.trend_limit;
  const browser::ActionOptions within{.timeout_ms = DRAWER_STEP_TIMEOUT_MS};

  // Registers a handler that appends the site's JSON answers to `into`.
  auto listen = [this, &page](std::shared_ptr<Json> into) {
    return page->on_response(
        [this, into](std::shared_ptr<browser::Response> response) -> asio::awaitable<void> {
          co_await _capture_sellersprite_json(response, into);
        });
  };

  for (int i = 0; i < icon_count; ++i) {
    _report("正在采集趋势详情：第 " + std::to_string(i + 1) + "/" + std::to_string(icon_count) +
            " 行");
    browser::Locator icon = icons.nth(i);
    // A candidate is used unchanged, even when empty; rows beyond them read their own text.
    std::string keyword;
    if (static_cast<std::size_t>(i) < candidates.size()) {
      keyword = candidates[static_cast<std::size_t>(i)];
    } else {
      keyword = co_await _keyword_from_trend_icon(icon, i);
    }

    auto open_responses = std::make_shared<Json>(Json::array());
    browser::ListenerId open_listener = listen(open_responses);
    co_await icon.scroll_into_view_if_needed(within);
    co_await icon.click();
    co_await page->wait_for_timeout(AFTER_OPEN_WAIT_MS);
    page->remove_listener(open_listener);

    Json keyword_tabs = Json::array();
    for (std::size_t p = 0; p < tab_items.size(); ++p) {
      const std::string tab_key(tab_items[p].first);
      const std::string tab_label(tab_items[p].second);
      // What the drawer loaded while opening belongs to the first selected tab.
      auto responses = std::make_shared<Json>(p == 0 ? *open_responses : Json::array());
      browser::ListenerId tab_listener = listen(responses);
      browser::Locator tab = page->locator(DRAWER_TABS).filter(tab_label).first();
      co_await tab.click(within);
      co_await page->wait_for_timeout(AFTER_TAB_WAIT_MS);
      page->remove_listener(tab_listener);

      const std::string section = _trend_section(i + 1, keyword, tab_key);
      browser::Locator container = page->locator(std::string(TREND_ARCHIVE_SELECTOR)).first();
      Json archived = co_await archiver.archive_locator(container, section);
      for (const auto& [key, value] : archived.items()) files[key] = value;

      // Counted and saved as the list stands now; a late body may still append afterwards.
      Json saved = Json::object();
      saved["keyword"] = keyword;
      saved["tab"] = tab_label;
      saved["responses"] = *responses;
      const std::string response_path = archiver.save_json(section, RESPONSES_FILE, saved);
      files[section + "_responses"] = response_path;

      Json tab_entry = Json::object();
      tab_entry["tab"] = tab_label;
      tab_entry["section"] = section;
      tab_entry["response_count"] = saved["responses"].size();
      tab_entry["response_path"] = response_path;
      keyword_tabs.push_back(std::move(tab_entry));
    }
    Json detail = Json::object();
    detail["keyword"] = keyword;
    detail["tabs"] = std::move(keyword_tabs);
    trend_details.push_back(std::move(detail));

    browser::Locator drawer = page->locator(std::string(TREND_ARCHIVE_SELECTOR)).first();
    browser::Locator close = drawer.locator(CLOSE_BUTTON).first();
    co_await close.click(within);
    const browser::WaitForOptions hidden{.state = browser::ElementState::hidden,
                                         .timeout_ms = DRAWER_STEP_TIMEOUT_MS};
    co_await drawer.wait_for(hidden);
  }

  Json result = Json::object();
  result["trend_details"] = std::move(trend_details);
  result["files"] = std::move(files);
  co_return result;
}

}  // namespace vendro::seller_sprite
