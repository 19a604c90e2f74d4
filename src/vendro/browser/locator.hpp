#pragma once
// Locators: a way to find elements in a page, resolved afresh on every action. Selectors are CSS
// plus :has-text("..."), :visible and :has(...) anywhere in a compound, comma lists, XPath after
// "xpath=", or "text=..."; steps may be chained with ">>", and CSS looks into open shadow roots.
// Text matching ignores case and collapses white space. Actions wait until the element is
// actionable (click: attached, visible, stable, enabled, receives the click at its centre; fill:
// visible, enabled, editable), retrying until their timeout, and are strict: a locator matching
// several elements fails at once unless narrowed with first() or nth(). Timeouts throw
// TimeoutError naming the locator, the state awaited and the time; a malformed selector, or a
// fill on something that can never take text (a <div>, a checkbox), throws BrowserError at once.
// The page side is injected/selector_engine.js, living in an isolated world of each document.

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <string>

#include "vendro/browser/page.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser {

struct ActionOptions {
  long long timeout_ms = DEFAULT_TIMEOUT_MS;
};

struct WaitForOptions {
  std::string state = "visible";  // "visible" | "hidden" | "attached" | "detached"
  long long timeout_ms = DEFAULT_TIMEOUT_MS;
};

class Locator {
 public:
  Locator(std::shared_ptr<Page> page, Json steps, std::string description);

  Locator first() const { return nth(0); }
  Locator last() const { return nth(-1); }
  Locator nth(int index) const;
  // Elements below each match of this locator.
  Locator locator(const std::string& selector) const;
  // Matches whose text contains `has_text`.
  Locator filter(const std::string& has_text) const;

  // How many elements match now; never waits, never fails for zero or many.
  asio::awaitable<int> count() const;
  asio::awaitable<void> click(ActionOptions options = {}) const;
  // Replaces the element's value with `value` as typed text.
  asio::awaitable<void> fill(std::string value, ActionOptions options) const;
  asio::awaitable<void> fill(std::string value) const {
    return fill(std::move(value), ActionOptions{});
  }
  // Whether the single match is visible now (no match: false). Never waits.
  asio::awaitable<bool> is_visible() const;
  asio::awaitable<std::string> inner_text(ActionOptions options = {}) const;
  asio::awaitable<void> scroll_into_view_if_needed(ActionOptions options = {}) const;
  asio::awaitable<void> wait_for(WaitForOptions options) const;
  asio::awaitable<void> wait_for() const { return wait_for(WaitForOptions{}); }
  // PNG bytes of the element's box.
  asio::awaitable<std::string> screenshot(ActionOptions options = {}) const;

  // "locator(\"#a\").first" and the like, as used in error messages.
  const std::string& description() const { return description_; }

 private:
  Locator with_step(Json step, const std::string& suffix) const;
  // One attempt of engine action `action` (see locatorAction in injected/selector_engine.js)
  // with `argument` (null: none). Throws BrowserError at once for a strict mode violation or an
  // action the page refuses (a malformed selector, an element that can never be filled).
  asio::awaitable<Json> attempt(const std::string& action, const Json& argument,
                                Deadline deadline) const;
  // Repeats the attempt until `done(answer)` (no `done`: until the answer is ok); returns that
  // answer. Throws TimeoutError naming `what` (the call, as in "fill()") and the awaited state:
  // `awaited` when not empty, else read from the last answer. (No default arguments: GCC 12
  // mishandles them in awaited coroutine calls.)
  asio::awaitable<Json> retry(const std::string& action, const Json& argument,
                              const std::string& what, long long timeout_ms,
                              std::function<bool(const Json&)> done,
                              const std::string& awaited) const;

  std::shared_ptr<Page> page_;
  Json steps_;
  std::string description_;
};

}  // namespace vendro::browser
