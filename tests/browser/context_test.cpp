// Contexts: cookies, storage state and isolation.

#include <ctime>

#include "browser/browser_fixture.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::testing {
namespace {

class ContextTest : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    server_.server().Get("/", [this](const httplib::Request& req, httplib::Response& res) {
      cookie_header_ = req.get_header_value("Cookie");
      res.set_content("<html><body>shop</body></html>", "text/html");
    });
    server_.start();
  }
  std::string cookie_header_;
};

TEST_F(ContextTest, AddedCookiesAreSentAndListed) {
  const double expires = static_cast<double>(std::time(nullptr) + 30 * 86400);
  Json cookies = Json::parse(R"([
      {"name": "session-id", "value": "123-456", "url": ")" +
                             server_.base_url() + R"("},
      {"name": "i18n", "value": "zh_CN", "domain": "127.0.0.1", "path": "/", "httpOnly": true,
       "secure": false, "sameSite": "Lax"}
    ])");
  cookies[1]["expires"] = expires;
  run(context_->add_cookies(cookies));
  run(page_->goto_url(server_.base_url() + "/"));
  EXPECT_NE(cookie_header_.find("session-id=123-456"), std::string::npos) << cookie_header_;
  EXPECT_NE(cookie_header_.find("i18n=zh_CN"), std::string::npos) << cookie_header_;
  // httpOnly hides it from the page.
  EXPECT_EQ(run(page_->evaluate("document.cookie")), "session-id=123-456");

  Json listed = run(context_->cookies());
  ASSERT_EQ(listed.size(), 2u) << listed.dump();
  for (const auto& c : listed) {
    if (c["name"] == "i18n") {
      EXPECT_EQ(c["httpOnly"], true);
      EXPECT_NEAR(c["expires"].get<double>(), expires, 1.0);
      EXPECT_EQ(c["domain"], "127.0.0.1");
    } else {
      EXPECT_EQ(c["expires"], -1.0);
    }
  }
}

TEST_F(ContextTest, BadCookiesAreRefusedWithTheirPosition) {
  try {
    run(context_->add_cookies(Json::parse(R"([{"name": "a", "value": "b"}])")));
    FAIL();
  } catch (const InputError& e) {
    EXPECT_NE(std::string(e.what()).find("第 1 个 cookie"), std::string::npos) << e.what();
  }
  EXPECT_THROW(run(context_->add_cookies(Json::parse(R"([{"name": "a"}])"))), InputError);
  EXPECT_THROW(run(context_->add_cookies(Json::parse(
                   R"([{"name": "a", "value": "b", "url": "http://x/", "sameSite": "lax"}])"))),
               InputError);
  EXPECT_THROW(run(context_->add_cookies(Json::object())), InputError);
}

TEST_F(ContextTest, StorageStateFillsCookiesAndLocalStorageOfANewContext) {
  const std::string origin = server_.base_url();
  Json state = {
      {"cookies", Json::array({{{"name", "token"}, {"value", "t1"}, {"url", origin + "/"}}})},
      {"origins",
       Json::array({{{"origin", origin},
                     {"localStorage", Json::array({{{"name", "theme"}, {"value", "dark"}},
                                                   {{"name", "名"}, {"value", "值"}}})}}})}};
  auto context = run(browser_->new_context({.storage_state = state}));
  // The helper page that wrote the storage is gone again.
  EXPECT_TRUE(context->pages().empty());
  auto page = run(context->new_page());
  run(page->goto_url(origin + "/"));
  EXPECT_EQ(run(page->evaluate(
                "[document.cookie, localStorage.getItem('theme'), localStorage.getItem('名')]")),
            Json::parse(R"(["token=t1", "dark", "值"])"));
  // The page really came from the server, not from the storage helper.
  EXPECT_EQ(run(page->evaluate("document.body.textContent")), "shop");
  EXPECT_EQ(cookie_header_, "token=t1");

  // Other contexts see none of it.
  run(page_->goto_url(origin + "/"));
  EXPECT_EQ(run(page_->evaluate("[document.cookie, localStorage.getItem('theme')]")),
            Json::parse(R"(["", null])"));
  run(context->close());
  EXPECT_TRUE(page->is_closed());
  EXPECT_THROW(run(context->new_page()), browser::TargetClosedError);
}

TEST_F(ContextTest, NewContextAppliesViewportAndLocale) {
  auto context =
      run(browser_->new_context({.viewport = browser::Viewport{800, 600}, .locale = "de-DE"}));
  auto page = run(context->new_page());
  run(page->goto_url(server_.base_url() + "/"));
  EXPECT_EQ(run(page->evaluate("[innerWidth, innerHeight, navigator.language, "
                               "new Intl.NumberFormat().format(1234.5)]")),
            Json::parse(R"([800, 600, "de-DE", "1.234,5"])"));
  run(context->close());
}

}  // namespace
}  // namespace vendro::testing
