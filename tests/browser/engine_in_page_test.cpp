// The injected selector engine's own cases (injected/selector_engine_test.js), run by the driver
// in the engine's isolated world of a real page, each failing case reported on its own.

#include <fstream>
#include <sstream>

#include "browser/browser_fixture.hpp"
#include "vendro/browser/locator.hpp"
#include "vendro/browser/selector_engine.hpp"

namespace vendro::browser {
// The tests' way into the engine's isolated world.
struct PageTestAccess {
  static asio::awaitable<Json> in_engine_world(Page& page, const std::string& script,
                                               Deadline deadline) {
    // A local of this coroutine, so it lives as long as the call it is handed to.
    std::function<std::string()> make_call = [script] { return script; };
    co_return co_await page.call_selector_engine(make_call, deadline);
  }
};
}  // namespace vendro::browser

namespace vendro::testing {
namespace {

std::string read_source_file(const std::string& relative) {
  std::ifstream in(std::string(VENDRO_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class EngineInPageTest : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    html_ = read_source_file("tests/browser/injected/selector_engine_test.html");
    ASSERT_FALSE(html_.empty());
    server_.server().Get("/engine", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(html_, "text/html; charset=utf-8");
    });
    server_.start();
    run(page_->goto_url(server_.base_url() + "/engine"));
  }

  // The one way into the engine's world (the first call there installs the engine).
  Json in_engine_world(const std::string& script, long long timeout_ms) {
    return run(browser::PageTestAccess::in_engine_world(*page_, script,
                                                        browser::deadline_after(timeout_ms)));
  }

  std::string html_;
};

TEST_F(EngineInPageTest, EveryCasePassesInTheIsolatedWorld) {
  const std::string cases = read_source_file("tests/browser/injected/selector_engine_test.js");
  ASSERT_FALSE(cases.empty());
  // Evaluating the source a second time must keep the first definition (a case checks it).
  in_engine_world("globalThis.__firstEngine = globalThis.__vendro; true", 10000);
  in_engine_world(std::string(browser::SELECTOR_ENGINE_SOURCE), 10000);

  const Json results = in_engine_world(cases, 180000);
  ASSERT_TRUE(results.is_object()) << results.dump();
  const Json failures = results.value("failures", Json::array());
  const int total = results.value("total", 0);
  EXPECT_GE(total, 30);
  for (const Json& failure : failures) {
    ADD_FAILURE() << "in-page case \"" << failure.value("name", "")
                  << "\": " << failure.value("message", "");
  }
  std::cout << total - static_cast<int>(failures.size()) << " of " << total
            << " in-page cases passed\n";
  // Neither the engine nor the cases are visible to the page's own scripts.
  EXPECT_EQ(run(page_->evaluate("typeof globalThis.__vendro + ' ' + typeof runAll")),
            "undefined undefined");
}

TEST_F(EngineInPageTest, PageScriptsCannotReplaceTheEngine) {
  run(page_->evaluate(
      "globalThis.__vendro = { locatorAction: async () => ({ ok: true, text: 'fake' }) }"));
  EXPECT_EQ(run(page_->locator("#list li").nth(1).inner_text()), "Two");
  EXPECT_EQ(run(page_->locator("#list > li.item").count()), 2);
}

}  // namespace
}  // namespace vendro::testing
