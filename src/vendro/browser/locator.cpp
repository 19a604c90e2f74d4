// Locator actions: resolved by the injected engine, performed with real input events.

#include "vendro/browser/locator.hpp"

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cmath>
#include <string_view>

#include "vendro/browser/base64.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::browser {

namespace {

std::string quoted(const std::string& text) {
  return Json(text).dump();
}

// The state an unfinished attempt was waiting for, from the engine's reason.
std::string awaited_state(const Json& answer) {
  const std::string reason = answer.value("reason", "");
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

// Pauses between checks, like a person glancing again: soon at first, then less often.
constexpr int RETRY_DELAYS_MS[] = {0, 20, 50, 100, 100, 500};

// Waits the back-off delay of retry `attempt`, never past `deadline`. False when the deadline
// has already passed, so the caller stops retrying.
asio::awaitable<bool> pause_before_retry(asio::steady_timer& pause, Deadline deadline,
                                         std::size_t attempt) {
  const auto now = Clock::now();
  if (now >= deadline) co_return false;
  constexpr std::size_t STEPS = std::size(RETRY_DELAYS_MS);
  auto delay = std::chrono::milliseconds(RETRY_DELAYS_MS[std::min(attempt, STEPS - 1)]);
  pause.expires_at(std::min(deadline, now + delay));
  std::error_code ec;
  co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  co_return true;
}

}  // namespace

Locator::Locator(std::shared_ptr<Page> page, Json steps, std::string description)
    : page_(std::move(page)), steps_(std::move(steps)), description_(std::move(description)) {}

Locator Page::locator(const std::string& selector) {
  return Locator(shared_from_this(), Json::array({{{"selector", selector}}}),
                 "locator(" + quoted(selector) + ")");
}

Locator Page::get_by_text(const std::string& text) {
  return Locator(shared_from_this(), Json::array({{{"text", text}}}),
                 "get_by_text(" + quoted(text) + ")");
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
  return with_step({{"selector", selector}}, ".locator(" + quoted(selector) + ")");
}

Locator Locator::filter(const std::string& has_text) const {
  return with_step({{"hasText", has_text}}, ".filter(has_text=" + quoted(has_text) + ")");
}

asio::awaitable<Json> Locator::attempt(const std::string& action, const Json& argument,
                                       Deadline deadline) const {
  const std::string call = "globalThis.__vendro.locatorAction(" + to_compact_json(steps_) + ", " +
                           quoted(action) +
                           (argument.is_null() ? "" : ", " + to_compact_json(argument)) + ")";
  Json answer;
  try {
    answer = co_await page_->call_selector_engine(call, deadline);
  } catch (const EvaluationError& error) {
    throw BrowserError(description_ + " 无法在页面中执行 " + action + "：" + error.what());
  }
  const std::string reason = answer.value("reason", "");
  if (reason == "error") {
    throw BrowserError(description_ + " 无法在页面中执行 " + action + "：" +
                       answer.value("message", ""));
  }
  if (reason == "strict") {
    std::string found;
    for (const Json& element : answer.value("elements", Json::array())) {
      if (found.size() > 300) break;
      found += "\n  " + element.get<std::string>();
    }
    throw BrowserError("strict mode violation：" + description_ + " 匹配到 " +
                       std::to_string(answer.value("count", 0)) + " 个元素，" + action +
                       " 需要唯一的元素（可用 .first 或 .nth() 缩小范围）：" + found);
  }
  co_return answer;
}

asio::awaitable<Json> Locator::retry(const std::string& action, const Json& argument,
                                     const std::string& what, long long timeout_ms,
                                     std::function<bool(const Json&)> done,
                                     const std::string& awaited) const {
  const Deadline deadline = deadline_after(timeout_ms);
  asio::steady_timer pause(co_await asio::this_coro::executor);
  Json answer;
  for (std::size_t round = 0;; ++round) {
    try {
      answer = co_await attempt(action, argument, deadline);
    } catch (const TimeoutError&) {
      break;  // the deadline passed while the page was still checking
    }
    if (done ? done(answer) : answer.value("ok", false)) co_return answer;
    if (!co_await pause_before_retry(pause, deadline, round)) break;
  }
  throw TimeoutError("超时 " + std::to_string(timeout_ms) + "ms：" + description_ + "." + what +
                     "，等待" + (awaited.empty() ? awaited_state(answer) : awaited));
}

asio::awaitable<int> Locator::count() const {
  Json answer = co_await attempt("count", nullptr, deadline_after(DEFAULT_TIMEOUT_MS));
  co_return answer.value("count", 0);
}

asio::awaitable<void> Locator::click(ActionOptions options) const {
  Json at = co_await retry("click", nullptr, "click()", options.timeout_ms, nullptr, "");
  const double x = at["x"].get<double>();
  const double y = at["y"].get<double>();
  auto& connection = page_->connection();
  const std::string& session = page_->session();
  // Sent together, answered in order: one round trip for the whole click.
  auto moved = connection->send("Input.dispatchMouseEvent",
                                {{"type", "mouseMoved"}, {"x", x}, {"y", y}}, session);
  auto pressed = connection->send(
      "Input.dispatchMouseEvent",
      {{"type", "mousePressed"}, {"x", x}, {"y", y}, {"button", "left"}, {"clickCount", 1}},
      session);
  auto released = connection->send(
      "Input.dispatchMouseEvent",
      {{"type", "mouseReleased"}, {"x", x}, {"y", y}, {"button", "left"}, {"clickCount", 1}},
      session);
  co_await connection->result(moved);
  co_await connection->result(pressed);
  co_await connection->result(released);
}

asio::awaitable<void> Locator::fill(std::string value, ActionOptions options) const {
  // The engine focuses the element and selects its content; typed text then replaces it.
  Json answer = co_await retry("fill", Json(value), "fill()", options.timeout_ms, nullptr, "");
  if (answer.value("needsInput", false)) {
    Json params = {{"text", value}};
    co_await page_->connection()->call("Input.insertText", std::move(params), page_->session());
  }
}

asio::awaitable<bool> Locator::is_visible() const {
  Json answer = co_await attempt("isVisible", nullptr, deadline_after(DEFAULT_TIMEOUT_MS));
  co_return answer.value("visible", false);
}

asio::awaitable<std::string> Locator::inner_text(ActionOptions options) const {
  Json answer =
      co_await retry("innerText", nullptr, "inner_text()", options.timeout_ms, nullptr, "");
  co_return answer.value("text", "");
}

asio::awaitable<void> Locator::scroll_into_view_if_needed(ActionOptions options) const {
  co_await retry("settle", nullptr, "scroll_into_view_if_needed()", options.timeout_ms, nullptr,
                 "");
}

asio::awaitable<void> Locator::wait_for(WaitForOptions options) const {
  const std::string& state = options.state;
  const std::string what = "wait_for(state=\"" + state + "\")";
  if (state == "visible" || state == "attached") {
    const Json states = Json::array({state});
    co_await retry("states", states, what, options.timeout_ms, nullptr, "");
  } else if (state == "hidden") {
    auto hidden = [](const Json& answer) { return !answer.value("visible", true); };
    const std::string awaited = "元素隐藏或消失";
    co_await retry("isVisible", nullptr, what, options.timeout_ms, hidden, awaited);
  } else if (state == "detached") {
    auto gone = [](const Json& answer) { return answer.value("count", 1) == 0; };
    const std::string awaited = "元素消失";
    co_await retry("count", nullptr, what, options.timeout_ms, gone, awaited);
  } else {
    throw InputError("wait_for 的 state 只能是 visible、hidden、attached 或 detached，收到：" +
                     state);
  }
}

asio::awaitable<std::string> Locator::screenshot(ActionOptions options) const {
  Json at = co_await retry("settle", nullptr, "screenshot()", options.timeout_ms, nullptr, "");
  const Json& rect = at["rect"];
  Json params = {{"format", "png"},
                 {"captureBeyondViewport", true},
                 {"clip",
                  {{"x", std::floor(rect["x"].get<double>())},
                   {"y", std::floor(rect["y"].get<double>())},
                   {"width", std::max(1.0, std::ceil(rect["width"].get<double>()))},
                   {"height", std::max(1.0, std::ceil(rect["height"].get<double>()))},
                   {"scale", 1}}}};
  Json shot = co_await page_->connection()->call("Page.captureScreenshot", std::move(params),
                                                 page_->session());
  co_return base64_decode(shot.value("data", ""));
}

}  // namespace vendro::browser
