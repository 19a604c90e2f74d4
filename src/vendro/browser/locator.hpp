#pragma once
// Locators: a way to find elements in a page, resolved afresh on every action. Selectors are CSS
// plus :has-text("..."), :visible and :has(...) anywhere in a compound, comma lists, XPath after
// "xpath=", or "text=..."; steps may be chained with ">>", and CSS looks into open shadow roots.
// Text matching ignores case and collapses white space.
//
// Actions wait until the element is actionable (click: attached, visible, stable, enabled,
// receives the click at its centre; fill: visible, enabled, editable). The waiting happens inside
// the page, which re-checks on every DOM change and animation frame, so a late, covered, disabled
// or moving element is acted on within a frame of becoming ready; each wait is one round trip.
// Actions are strict: a locator matching several elements throws StrictModeError at once unless
// narrowed with first() or nth(). A malformed selector throws SelectorError at once; a fill on
// something that can never take text (a <div>, a checkbox) NotFillableError; a value the element
// refuses (text for a number input) InvalidValueError. Timeouts throw TimeoutError naming the
// locator, the state awaited and the time. The page side is injected/selector_engine.js, living
// in an isolated world of each document.
//
// Awaited operations take no default arguments (see page.hpp); the shorter overloads stand in.

#include <asio/awaitable.hpp>
#include <memory>
#include <string>
#include <string_view>

#include "vendro/browser/page.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser {

// What wait_for waits for: the element is in the DOM, is gone, is visible, or is hidden (gone
// or not visible).
enum class ElementState { attached, detached, visible, hidden };

// Text forms, for the command line and the tool server: "attached" | "detached" | "visible" |
// "hidden". Anything else throws InputError listing the valid names.
ElementState parse_element_state(std::string_view text);
std::string_view to_string(ElementState state);

struct ActionOptions {
  long long timeout_ms = DEFAULT_TIMEOUT_MS;  // 0 waits without limit
};

struct WaitForOptions {
  ElementState state = ElementState::visible;
  long long timeout_ms = DEFAULT_TIMEOUT_MS;  // 0 waits without limit
};

class Locator {
 public:
  Locator first() const { return nth(0); }
  Locator last() const { return nth(-1); }
  Locator nth(int index) const;
  // Elements matching `selector` below each match of this locator.
  Locator locator(const std::string& selector) const;
  // The smallest elements holding `text` below each match of this locator.
  Locator get_by_text(const std::string& text) const;
  // Matches whose text contains `has_text`.
  Locator filter(const std::string& has_text) const;

  // How many elements match now; never waits, never fails for zero or many.
  asio::awaitable<int> count() const;
  asio::awaitable<void> click(ActionOptions options) const;
  asio::awaitable<void> click() const { return click(ActionOptions{}); }
  // Replaces the element's value with `value` as typed text.
  asio::awaitable<void> fill(std::string value, ActionOptions options) const;
  asio::awaitable<void> fill(std::string value) const {
    return fill(std::move(value), ActionOptions{});
  }
  // Focuses the element, then presses `key` as Keyboard::press does ("Enter" submits a form).
  asio::awaitable<void> press(std::string key, ActionOptions options) const;
  asio::awaitable<void> press(std::string key) const {
    return press(std::move(key), ActionOptions{});
  }
  // Whether the single match is visible now (no match: false). Never waits.
  asio::awaitable<bool> is_visible() const;
  // The rendered text of the single match, once there is one.
  asio::awaitable<std::string> inner_text(ActionOptions options) const;
  asio::awaitable<std::string> inner_text() const { return inner_text(ActionOptions{}); }
  asio::awaitable<void> scroll_into_view_if_needed(ActionOptions options) const;
  asio::awaitable<void> scroll_into_view_if_needed() const {
    return scroll_into_view_if_needed(ActionOptions{});
  }
  asio::awaitable<void> wait_for(WaitForOptions options) const;
  asio::awaitable<void> wait_for() const { return wait_for(WaitForOptions{}); }
  // PNG bytes of the element's box, once it is visible and at rest.
  asio::awaitable<std::string> screenshot(ActionOptions options) const;
  asio::awaitable<std::string> screenshot() const { return screenshot(ActionOptions{}); }

  // "locator(\"#a\").first" and the like, as used in error messages.
  const std::string& description() const { return description_; }

 private:
  friend class Page;
  Locator(std::shared_ptr<Page> page, Json steps, std::string description);
  Locator with_step(Json step, const std::string& suffix) const;

  // One check of engine action `action` (see locatorAction in injected/selector_engine.js) that
  // never waits: "count" or "isVisible".
  asio::awaitable<Json> check_now(const std::string& action) const;
  // Waits inside the page until engine action `action` (see waitForAction) with `argument`
  // (null: none) is ready, and returns its answer. `what` names the call ("click()") and
  // `awaited`, when not empty, the state waited for in a timeout message (else it is read from
  // the page's last reason).
  asio::awaitable<Json> when_ready(const std::string& action, const Json& argument,
                                   const std::string& what, long long timeout_ms,
                                   const std::string& awaited) const;
  // Throws the typed error of an answer the page refused (strict mode, selector, fill target or
  // value); returns when the answer is not a refusal.
  void throw_if_refused(const Json& answer, const std::string& action) const;

  std::shared_ptr<Page> page_;
  Json steps_;
  std::string description_;
};

}  // namespace vendro::browser
