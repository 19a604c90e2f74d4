// Running script in the page (its own and the selector engine's), and reading the page back as
// HTML or pixels.

#include <cctype>
#include <cmath>
#include <limits>

#include "vendro/browser/base64.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/page.hpp"
#include "vendro/browser/selector_engine.hpp"

namespace vendro::browser {

namespace {

bool is_identifier_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::size_t skip_space(std::string_view s, std::size_t i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

// True for text that is a function: `function ...`, `async function ...`, `(a, b) => ...`,
// `x => ...`, each optionally `async`.
bool is_function_text(std::string_view s) {
  std::size_t i = skip_space(s, 0);
  s = s.substr(i);
  if (s.starts_with("function") && (s.size() == 8 || !is_identifier_char(s[8]))) return true;
  if (s.starts_with("async") && s.size() > 5 && !is_identifier_char(s[5])) {
    s = s.substr(skip_space(s, 5));
    if (s.starts_with("function")) return true;
  }
  i = 0;
  if (!s.empty() && s[0] == '(') {
    int depth = 0;
    char quote = 0;
    for (; i < s.size(); ++i) {
      const char c = s[i];
      if (quote) {
        if (c == '\\') {
          ++i;
        } else if (c == quote) {
          quote = 0;
        }
      } else if (c == '"' || c == '\'' || c == '`') {
        quote = c;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        ++i;
        break;
      }
    }
  } else {
    while (i < s.size() && is_identifier_char(s[i])) ++i;
    if (i == 0) return false;
  }
  i = skip_space(s, i);
  return s.substr(i).starts_with("=>");
}

Json value_of(const Json& remote) {
  if (auto value = remote.find("value"); value != remote.end()) return *value;
  const std::string special = remote.value("unserializableValue", "");
  if (special == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (special == "Infinity") return std::numeric_limits<double>::infinity();
  if (special == "-Infinity") return -std::numeric_limits<double>::infinity();
  if (special == "-0") return -0.0;
  if (!special.empty() && special.back() == 'n') {  // BigInt
    try {
      return std::stoll(special.substr(0, special.size() - 1));
    } catch (const std::exception&) {
      return special.substr(0, special.size() - 1);
    }
  }
  return nullptr;  // undefined, functions, symbols
}

std::string exception_text(const Json& details) {
  if (details.contains("exception")) {
    const Json& exception = details["exception"];
    if (exception.contains("description") && exception["description"].is_string()) {
      return exception["description"];
    }
    if (exception.contains("value")) return exception["value"].dump();
  }
  return details.value("text", "未知错误");
}

// The name of the isolated world the selector engine lives in.
constexpr const char* ENGINE_WORLD = "vendro";

bool context_went_away(const std::string& message) {
  return message.find("Execution context was destroyed") != std::string::npos ||
         message.find("Cannot find default execution context") != std::string::npos ||
         message.find("Cannot find context with specified id") != std::string::npos;
}

}  // namespace

asio::awaitable<Json> Page::in_current_document(
    const std::function<asio::awaitable<Json>()>& attempt, Deadline deadline, int max_attempts) {
  for (int round = 1;; ++round) {
    const std::uint64_t document = document_number_;
    std::string failure;
    try {
      co_return co_await attempt();
    } catch (const ProtocolError& error) {
      failure = error.what();
    }
    ensure_open();
    if (!context_went_away(failure) || round >= max_attempts) {
      throw EvaluationError("页面脚本无法执行：" + failure);
    }
    if (Clock::now() >= deadline) {
      throw TimeoutError("超时：页面不断更换文档，脚本无法执行（当前页面 " + url_ + "）");
    }
    // The document went away under the script (a navigation, or one on its way): run it again
    // in the next one once that is there.
    co_await changed_.wait_until([&] { return closed_ || document_number_ != document; },
                                 std::min(deadline, Clock::now() + std::chrono::seconds(1)));
    ensure_open();
  }
}

asio::awaitable<Json> Page::evaluate(std::string script, std::optional<Json> argument,
                                     long long timeout_ms) {
  ensure_open();
  auto self = shared_from_this();
  std::string expression = script;
  if (is_function_text(script)) {
    expression = "(" + script + ")(" + (argument ? to_compact_json(*argument) : "undefined") + ")";
  }
  const Json params = {{"expression", expression},
                       {"returnByValue", true},
                       {"awaitPromise", true},
                       {"userGesture", true}};
  const Deadline deadline = deadline_after(timeout_ms);
  // A page's own script is not idempotent: it runs again after a navigation only twice.
  constexpr int MAX_ATTEMPTS = 3;
  // Named, not converted inside co_await (GCC 12 destroys such temporaries twice).
  const std::function<asio::awaitable<Json>()> attempt = [&] {
    return session_->call("Runtime.evaluate", params, deadline);
  };
  Json reply;
  try {
    reply = co_await in_current_document(attempt, deadline, MAX_ATTEMPTS);
  } catch (const TimeoutError&) {
    throw_timeout(timeout_ms, "page.evaluate，当前页面 " + url_);
  }
  if (reply.contains("exceptionDetails")) {
    throw EvaluationError("页面脚本出错：" + exception_text(reply["exceptionDetails"]));
  }
  co_return value_of(reply["result"]);
}

asio::awaitable<Json> Page::call_selector_engine(const std::function<std::string()>& make_call,
                                                 Deadline deadline) {
  ensure_open();
  auto self = shared_from_this();
  const std::function<asio::awaitable<Json>()> attempt = [&]() -> asio::awaitable<Json> {
    if (engine_context_ == 0 || engine_document_ != document_number_) {
      const std::uint64_t document = document_number_;
      Json where = {{"frameId", main_frame_id_}, {"worldName", ENGINE_WORLD}};
      engine_context_ = 0;
      Json world = co_await session_->call("Page.createIsolatedWorld", std::move(where), deadline);
      engine_context_ = world.value("executionContextId", 0LL);
      engine_document_ = document;
      engine_installed_ = false;
    }
    const long long context = engine_context_;
    const std::string call = make_call();
    // The engine's source defines the global once; sending it again is harmless.
    Json params = {{"expression",
                    engine_installed_ ? call : std::string(SELECTOR_ENGINE_SOURCE) + "\n;" + call},
                   {"contextId", context},
                   {"returnByValue", true},
                   {"awaitPromise", true}};
    try {
      Json reply = co_await session_->call("Runtime.evaluate", std::move(params), deadline);
      if (engine_context_ == context) engine_installed_ = true;
      co_return reply;
    } catch (const ProtocolError&) {
      engine_context_ = 0;  // the world went with its document: make a new one next time
      throw;
    }
  };
  // The engine's calls only read the page or wait, so they may run again for as long as the
  // caller's time allows.
  Json reply = co_await in_current_document(attempt, deadline, std::numeric_limits<int>::max());
  if (reply.contains("exceptionDetails")) {
    throw EvaluationError("页面脚本出错：" + exception_text(reply["exceptionDetails"]));
  }
  co_return value_of(reply["result"]);
}

asio::awaitable<std::string> Page::content() {
  Json html = co_await evaluate(R"JS(() => {
    let html = '';
    if (document.doctype) html = new XMLSerializer().serializeToString(document.doctype);
    if (document.documentElement) html += document.documentElement.outerHTML;
    return html;
  })JS");
  co_return html.is_string() ? html.get<std::string>() : std::string();
}

asio::awaitable<std::string> Page::screenshot(ScreenshotOptions options) {
  ensure_open();
  auto self = shared_from_this();
  if (!options.full_page) {
    Json params = {{"format", "png"}};
    Json shot = co_await session_->call("Page.captureScreenshot", std::move(params),
                                        deadline_after(DEFAULT_TIMEOUT_MS));
    co_return base64_decode(shot.value("data", ""));
  }
  Json metrics = co_await session_->call("Page.getLayoutMetrics", Json::object());
  const Json& size =
      metrics.contains("cssContentSize") ? metrics["cssContentSize"] : metrics["contentSize"];
  const Json& visual = metrics.contains("cssVisualViewport") ? metrics["cssVisualViewport"]
                                                             : metrics["visualViewport"];
  const Json on_screen = {{"x", visual.value("pageX", 0.0)},
                          {"y", visual.value("pageY", 0.0)},
                          {"width", visual.value("clientWidth", 0.0)},
                          {"height", visual.value("clientHeight", 0.0)}};
  const Json whole = {{"x", 0},
                      {"y", 0},
                      {"width", std::ceil(size.value("width", 1.0))},
                      {"height", std::ceil(size.value("height", 1.0))}};
  co_return co_await capture(whole, on_screen);
}

asio::awaitable<std::string> Page::capture(const Json& clip, const Json& on_screen) {
  auto inside = [&](const char* start, const char* length) {
    const double from = clip[start].get<double>(), shown = on_screen.value(start, 0.0);
    return from >= shown &&
           from + clip[length].get<double>() <= shown + on_screen.value(length, 0.0);
  };
  Json area = clip;
  area["scale"] = 1;
  Json params = {{"format", "png"},
                 {"captureBeyondViewport", !(inside("x", "width") && inside("y", "height"))},
                 {"clip", std::move(area)}};
  Json shot =
      co_await session_->call("Page.captureScreenshot", params, deadline_after(DEFAULT_TIMEOUT_MS));
  co_return base64_decode(shot.value("data", ""));
}

}  // namespace vendro::browser
