// Locator actions: resolved by the injected engine, performed with real input events.

#include "vendro/browser/locator.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>

#include "vendro/browser/base64.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::browser {

namespace {

std::string json_quoted(const std::string& text) {
  return Json(text).dump();
}

// The state a wait that ran out was waiting for, from the page's last reason.
std::string awaited_state(const std::string& reason) {
  if (reason == "missing" || reason == "element is not attached to the DOM") return "元素出现";
  if (reason == "element is not visible") return "元素可见";
  if (reason == "element is not enabled") return "元素可用（当前为禁用）";
  if (reason == "element is not editable") return "元素可编辑（当前为只读）";
  if (reason == "element is not stable") return "元素停止移动";
  if (reason == "element is outside of the viewport") return "元素进入视口";
  constexpr std::string_view INTERCEPTS = " intercepts pointer events";
  if (reason.ends_with(INTERCEPTS)) {
    return "元素不被遮挡（当前被 " + reason.substr(0, reason.size() - INTERCEPTS.size()) +
           " 挡住）";
  }
  return reason.empty() ? "元素就绪" : "元素就绪（" + reason + "）";
}

// How long past the page's own deadline the driver waits for its answer: a page too busy to
// answer (a script in an endless loop) must not hang the caller.
constexpr auto SAFETY_MARGIN = std::chrono::seconds(2);

}  // namespace

ElementState parse_element_state(std::string_view text) {
  if (text == "attached") return ElementState::attached;
  if (text == "detached") return ElementState::detached;
  if (text == "visible") return ElementState::visible;
  if (text == "hidden") return ElementState::hidden;
  throw InputError("未知的元素状态：\"" + std::string(text) +
                   "\"（可用：attached、detached、visible、hidden）");
}

std::string_view to_string(ElementState state) {
  switch (state) {
    case ElementState::attached:
      return "attached";
    case ElementState::detached:
      return "detached";
    case ElementState::visible:
      return "visible";
    case ElementState::hidden:
      return "hidden";
  }
  return "visible";
}

Locator::Locator(std::shared_ptr<Page> page, Json steps, std::string description)
    : page_(std::move(page)), steps_(std::move(steps)), description_(std::move(description)) {}

Locator Page::locator(const std::string& selector) {
  return Locator(shared_from_this(), Json::array({{{"selector", selector}}}),
                 "locator(" + json_quoted(selector) + ")");
}

Locator Page::get_by_text(const std::string& text) {
  return Locator(shared_from_this(), Json::array({{{"text", text}}}),
                 "get_by_text(" + json_quoted(text) + ")");
}

Locator Locator::with_step(Json step, const std::string& suffix) const {
  Json steps = steps_;
  steps.push_back(std::move(step));
  return Locator(page_, std::move(steps), description_ + suffix);
}

Locator Locator::nth(int index) const {
  return with_step({{"nth", index}}, index == 0    ? ".first"
                                     : index == -1 ? ".last"
                                                   : ".nth(" + std::to_string(index) + ")");
}

Locator Locator::locator(const std::string& selector) const {
  return with_step({{"selector", selector}}, ".locator(" + json_quoted(selector) + ")");
}

Locator Locator::get_by_text(const std::string& text) const {
  return with_step({{"text", text}}, ".get_by_text(" + json_quoted(text) + ")");
}

Locator Locator::filter(const std::string& has_text) const {
  return with_step({{"hasText", has_text}}, ".filter(has_text=" + json_quoted(has_text) + ")");
}

void Locator::throw_if_refused(const Json& answer, const std::string& action) const {
  const std::string reason = answer.value("reason", "");
  if (reason == "strict") {
    std::string found;
    for (const Json& element : answer.value("elements", Json::array())) {
      if (found.size() > 300) break;
      if (element.is_string()) found += "\n  " + element.get<std::string>();
    }
    throw StrictModeError("strict mode violation：" + description_ + " 匹配到 " +
                          std::to_string(answer.value("count", 0)) + " 个元素，" + action +
                          " 需要唯一的元素（可用 .first 或 .nth() 缩小范围）：" + found);
  }
  if (reason != "error") return;
  const std::string kind = answer.value("kind", "");
  const std::string message = description_ + " 无法 " + action + "：" + answer.value("message", "");
  if (kind == "selector") throw SelectorError(message);
  if (kind == "notFillable") throw NotFillableError(message);
  if (kind == "invalidValue") throw InvalidValueError(message);
  throw BrowserError(message);
}

asio::awaitable<Json> Locator::check_now(const std::string& action) const {
  const std::string call = "globalThis.__vendro.locatorAction(" + to_compact_json(steps_) + ", " +
                           json_quoted(action) + ")";
  // Named, not converted inside co_await (GCC 12 destroys such temporaries twice).
  const std::function<std::string()> make_call = [&] { return call; };
  Json answer;
  try {
    answer = co_await page_->call_selector_engine(make_call, deadline_after(DEFAULT_TIMEOUT_MS));
  } catch (const EvaluationError& error) {
    throw BrowserError(description_ + " 无法在页面中执行 " + action + "：" + error.what());
  }
  throw_if_refused(answer, action);
  co_return answer;
}

asio::awaitable<Json> Locator::when_ready(const std::string& action, const Json& argument,
                                          const std::string& what, long long timeout_ms,
                                          const std::string& awaited) const {
  const Deadline deadline = deadline_after(timeout_ms);
  const std::string head = "globalThis.__vendro.waitForAction(" + to_compact_json(steps_) + ", " +
                           json_quoted(action) + ", " + to_compact_json(argument) + ", ";
  // Built again for each document the wait lands in, with the time then left.
  const std::function<std::string()> make_call = [&] {
    if (deadline == NO_DEADLINE) return head + "null)";
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return head + std::to_string(std::max<long long>(0, left.count())) + ")";
  };
  const Deadline safety = deadline == NO_DEADLINE ? NO_DEADLINE : deadline + SAFETY_MARGIN;
  const std::string timeout_text =
      "超时 " + std::to_string(timeout_ms) + "ms：" + description_ + "." + what + "，等待";
  for (;;) {
    Json answer;
    try {
      answer = co_await page_->call_selector_engine(make_call, safety);
    } catch (const TimeoutError&) {
      throw TimeoutError(timeout_text + (awaited.empty() ? awaited_state("") : awaited) +
                         "（页面没有回应）");
    } catch (const EvaluationError& error) {
      throw BrowserError(description_ + " 无法在页面中执行 " + what + "：" + error.what());
    }
    throw_if_refused(answer, what);
    if (answer.value("reason", "") != "timeout") co_return answer;
    // The page's clock started a moment after ours and may run a hair apart from it: the time
    // is up only when it is up here too.
    if (Clock::now() >= deadline) {
      throw TimeoutError(timeout_text +
                         (awaited.empty() ? awaited_state(answer.value("last", "")) : awaited));
    }
  }
}

asio::awaitable<int> Locator::count() const {
  Json answer = co_await check_now("count");
  co_return answer.value("count", 0);
}

asio::awaitable<void> Locator::click(ActionOptions options) const {
  const Json none;
  Json at = co_await when_ready("click", none, "click()", options.timeout_ms, "");
  co_await page_->mouse().click(at.value("x", 0.0), at.value("y", 0.0));
}

asio::awaitable<void> Locator::fill(std::string value, ActionOptions options) const {
  // The page focuses the element and selects its content; typed text then replaces it.
  const Json text = value;
  Json answer = co_await when_ready("fill", text, "fill()", options.timeout_ms, "");
  if (answer.value("needsInput", false)) co_await page_->keyboard().insert_text(std::move(value));
}

asio::awaitable<void> Locator::press(std::string key, ActionOptions options) const {
  const Json none;
  co_await when_ready("focus", none, "press(" + json_quoted(key) + ")", options.timeout_ms, "");
  co_await page_->keyboard().press(std::move(key));
}

asio::awaitable<bool> Locator::is_visible() const {
  Json answer = co_await check_now("isVisible");
  co_return answer.value("visible", false);
}

asio::awaitable<std::string> Locator::inner_text(ActionOptions options) const {
  const Json none;
  Json answer = co_await when_ready("innerText", none, "inner_text()", options.timeout_ms, "");
  co_return answer.value("text", "");
}

asio::awaitable<void> Locator::scroll_into_view_if_needed(ActionOptions options) const {
  const Json none;
  co_await when_ready("settle", none, "scroll_into_view_if_needed()", options.timeout_ms, "");
}

asio::awaitable<void> Locator::wait_for(WaitForOptions options) const {
  const std::string state(to_string(options.state));
  const Json argument = state;
  std::string awaited;
  switch (options.state) {
    case ElementState::attached:
      awaited = "元素出现";
      break;
    case ElementState::detached:
      awaited = "元素消失";
      break;
    case ElementState::visible:
      awaited = "元素可见";
      break;
    case ElementState::hidden:
      awaited = "元素隐藏或消失";
      break;
  }
  co_await when_ready("waitFor", argument, "wait_for(state=\"" + state + "\")", options.timeout_ms,
                      awaited);
}

asio::awaitable<std::string> Locator::screenshot(ActionOptions options) const {
  const Json none;
  Json at = co_await when_ready("settle", none, "screenshot()", options.timeout_ms, "");
  const Json& rect = at["rect"];
  const Json clip = {{"x", std::floor(rect["x"].get<double>())},
                     {"y", std::floor(rect["y"].get<double>())},
                     {"width", std::max(1.0, std::ceil(rect["width"].get<double>()))},
                     {"height", std::max(1.0, std::ceil(rect["height"].get<double>()))}};
  co_return co_await page_->capture(clip, at.value("viewport", Json::object()));
}

}  // namespace vendro::browser
