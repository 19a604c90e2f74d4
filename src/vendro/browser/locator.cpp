// Locator actions: resolved by the injected engine, performed with real input events.

#include "vendro/browser/locator.hpp"

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cmath>

#include "vendro/browser/base64.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/selector_engine.hpp"

namespace vendro::browser {

namespace {

std::string quoted(const std::string& text) {
  return Json(text).dump();
}

std::string problem_text(const Json& answer) {
  const std::string problem = answer.value("problem", "");
  if (problem == "missing") return "元素出现";
  if (problem == "hidden") return "元素可见";
  if (problem == "disabled") return "元素可用（当前为禁用）";
  if (problem == "readonly") return "元素可编辑（当前为只读或不可输入）";
  if (problem == "moving") return "元素停止移动";
  if (problem == "covered") return "元素不被遮挡（当前被 " + answer.value("by", "") + " 挡住）";
  return "元素就绪";
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
  return Locator(shared_from_this(), Json::array({{{"css", selector}}}),
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
  return with_step({{"css", selector}}, ".locator(" + quoted(selector) + ")");
}

Locator Locator::filter(const std::string& has_text) const {
  return with_step({{"hasText", has_text}}, ".filter(has_text=" + quoted(has_text) + ")");
}

asio::awaitable<Json> Locator::call_engine(const std::string& function, const Json& extra) const {
  const std::string call = "globalThis.__vendro." + function + "(" + to_compact_json(steps_) +
                           (extra.is_null() ? "" : ", " + to_compact_json(extra)) + ")";
  const std::string script =
      "(async () => globalThis.__vendro ? { value: await " + call + " } : { missing: true })()";
  for (int attempt = 0; attempt < 3; ++attempt) {
    Json answer;
    try {
      answer = co_await page_->evaluate(script);
    } catch (const EvaluationError&) {
      std::throw_with_nested(BrowserError(description_ + " 无法在页面中求值（选择器可能无效）"));
    }
    if (!answer.value("missing", false)) co_return answer["value"];
    // A new document: install the engine, then ask again.
    co_await page_->evaluate("globalThis.__vendro = " + std::string(SELECTOR_ENGINE_SOURCE));
  }
  throw BrowserError(description_ + "：无法在页面中安装选择器脚本");
}

asio::awaitable<Json> Locator::wait_until_actionable(const Json& checks, const std::string& action,
                                                     long long timeout_ms) const {
  const Deadline deadline = deadline_after(timeout_ms);
  asio::steady_timer pause(co_await asio::this_coro::executor);
  Json answer;
  for (std::size_t attempt = 0;; ++attempt) {
    answer = co_await call_engine("check", checks);
    if (answer.value("ok", false)) co_return answer;
    if (answer.value("problem", "") == "strict") {
      throw BrowserError("strict mode violation：" + description_ + " 匹配到 " +
                         std::to_string(answer.value("count", 0)) + " 个元素，" + action +
                         " 需要唯一的元素（可用 .first 或 .nth() 缩小范围）");
    }
    if (!co_await pause_before_retry(pause, deadline, attempt)) break;
  }
  throw TimeoutError("超时 " + std::to_string(timeout_ms) + "ms：" + description_ + "." + action +
                     "()，等待" + problem_text(answer));
}

asio::awaitable<int> Locator::count() const {
  Json n = co_await call_engine("count", nullptr);
  co_return n.get<int>();
}

asio::awaitable<void> Locator::click(ActionOptions options) const {
  Json checks = {"visible", "enabled", "scroll", "stable", "hit"};
  Json at = co_await wait_until_actionable(checks, "click", options.timeout_ms);
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
  Json checks = {"visible", "enabled", "editable"};
  co_await wait_until_actionable(checks, "fill", options.timeout_ms);
  Json next = co_await call_engine("prepareFill", Json(value));
  if (next == "type") {
    Json params = {{"text", value}};
    co_await page_->connection()->call("Input.insertText", std::move(params), page_->session());
  }
}

asio::awaitable<bool> Locator::is_visible() const {
  Json answer = co_await call_engine("isVisible", nullptr);
  if (answer.value("problem", "") == "strict") {
    throw BrowserError("strict mode violation：" + description_ + " 匹配到 " +
                       std::to_string(answer.value("count", 0)) + " 个元素");
  }
  co_return answer.value("visible", false);
}

asio::awaitable<std::string> Locator::inner_text(ActionOptions options) const {
  Json checks = Json::array();
  co_await wait_until_actionable(checks, "inner_text", options.timeout_ms);
  Json text = co_await call_engine("innerText", nullptr);
  co_return text.is_string() ? text.get<std::string>() : std::string();
}

asio::awaitable<void> Locator::scroll_into_view_if_needed(ActionOptions options) const {
  Json checks = {"visible", "scroll", "stable"};
  co_await wait_until_actionable(checks, "scroll_into_view_if_needed", options.timeout_ms);
}

asio::awaitable<void> Locator::wait_for(WaitForOptions options) const {
  const std::string& state = options.state;
  if (state == "visible" || state == "attached") {
    Json checks = state == "visible" ? Json{"visible"} : Json::array();
    co_await wait_until_actionable(checks, "wait_for", options.timeout_ms);
    co_return;
  }
  if (state != "hidden" && state != "detached") {
    throw InputError("wait_for 的 state 只能是 visible、hidden、attached 或 detached，收到：" +
                     state);
  }
  const Deadline deadline = deadline_after(options.timeout_ms);
  asio::steady_timer pause(co_await asio::this_coro::executor);
  for (std::size_t attempt = 0;; ++attempt) {
    bool done = false;
    if (state == "hidden") {
      Json answer = co_await call_engine("isHidden", nullptr);
      if (answer.value("problem", "") == "strict") {
        throw BrowserError("strict mode violation：" + description_ + " 匹配到 " +
                           std::to_string(answer.value("count", 0)) + " 个元素");
      }
      done = answer.value("hidden", false);
    } else {
      done = (co_await count()) == 0;
    }
    if (done) co_return;
    if (!co_await pause_before_retry(pause, deadline, attempt)) break;
  }
  throw TimeoutError("超时 " + std::to_string(options.timeout_ms) + "ms：" + description_ +
                     ".wait_for(state=\"" + state + "\")，元素仍" +
                     (state == "hidden" ? "可见" : "存在"));
}

asio::awaitable<std::string> Locator::screenshot(ActionOptions options) const {
  Json checks = {"visible", "scroll", "stable"};
  Json at = co_await wait_until_actionable(checks, "screenshot", options.timeout_ms);
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
