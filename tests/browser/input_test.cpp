// Keyboard and mouse input as a person makes it: Enter submits a login form, Tab moves the focus,
// modifiers reach the page, and the events are trusted ones.

#include "browser/browser_fixture.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/locator.hpp"

namespace vendro::testing {
namespace {

const char* const LOGIN_PAGE = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body>
  <form id="login" action="/submitted" method="get">
    <input id="account" name="account" placeholder="手机号">
    <input id="password" name="password" type="password">
    <button type="submit">登 录</button>
  </form>
  <button id="far" style="position: absolute; left: 300px; top: 200px">远处的按钮</button>
  <script>
    window.keys = [];
    document.addEventListener('keydown', (e) => keys.push(
        [e.key, e.code, e.keyCode, e.shiftKey, e.ctrlKey, e.isTrusted].join('|')));
    window.clicked = null;
    document.querySelector('#far').addEventListener('click',
        (e) => { clicked = [e.isTrusted, Math.round(e.clientX), Math.round(e.clientY)]; });
  </script>
</body></html>)";

class InputTest : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    server_.server().Get("/login", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(LOGIN_PAGE, "text/html; charset=utf-8");
    });
    server_.server().Get("/submitted", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("<p>" + req.get_param_value("account") + "</p>", "text/html; charset=utf-8");
    });
    server_.start();
    run(page_->goto_url(server_.base_url() + "/login"));
  }
  Json eval(const std::string& script) { return run(page_->evaluate(script)); }
  std::string focused() { return eval("document.activeElement.id"); }
  // The form's answer page, once the submission has navigated there.
  std::string submitted_page() {
    for (int i = 0; i < 100 && page_->url().find("/submitted") == std::string::npos; ++i) {
      run(page_->wait_for_timeout(50));
    }
    run(page_->wait_for_load_state(browser::LoadState::load));
    return page_->url();
  }
};

TEST_F(InputTest, EnterInAFieldSubmitsItsForm) {
  eval("document.querySelector('#account').focus()");
  run(page_->keyboard().insert_text("13800138000"));
  run(page_->keyboard().press("Enter"));
  EXPECT_NE(submitted_page().find("/submitted?account=13800138000"), std::string::npos);
  EXPECT_EQ(eval("document.body.textContent"), "13800138000");
}

TEST_F(InputTest, KeysReachThePageAsTrustedEventsWithTheirCodes) {
  eval("document.querySelector('#account').focus()");
  run(page_->keyboard().press("Tab"));
  EXPECT_EQ(focused(), "password");
  run(page_->keyboard().press("Shift+Tab"));
  EXPECT_EQ(focused(), "account");

  for (const char* key : {"a", "Shift+b", "7", "é", " "}) run(page_->keyboard().press(key));
  EXPECT_EQ(eval("document.querySelector('#account').value"), "aB7é ");
  run(page_->keyboard().press("Backspace"));
  run(page_->keyboard().press("ArrowLeft"));
  run(page_->keyboard().press("Delete"));
  EXPECT_EQ(eval("document.querySelector('#account').value"), "aB7");
  // Control+a selects; a chord with Control types nothing of its own.
  run(page_->keyboard().press("Control+a"));
  run(page_->keyboard().press("Backspace"));
  EXPECT_EQ(eval("document.querySelector('#account').value"), "");

  const Json keys = eval("keys");
  EXPECT_EQ(keys[0], "Tab|Tab|9|false|false|true");
  EXPECT_EQ(keys[1], "Shift|ShiftLeft|16|true|false|true");
  EXPECT_EQ(keys[2], "Tab|Tab|9|true|false|true");
  EXPECT_EQ(keys[3], "a|KeyA|65|false|false|true");
  EXPECT_EQ(keys[5], "B|KeyB|66|true|false|true");

  EXPECT_THROW(run(page_->keyboard().press("Hyper+x")), InputError);
  EXPECT_THROW(run(page_->keyboard().press("NoSuchKey")), InputError);
}

TEST_F(InputTest, LocatorPressFocusesTheElementFirst) {
  auto account = page_->locator("#account");
  run(account.fill("seller@example.com"));
  eval("document.activeElement.blur()");
  run(account.press("Enter"));
  EXPECT_NE(submitted_page().find("/submitted?account=seller%40example.com"), std::string::npos);
}

TEST_F(InputTest, MouseClicksLandWhereTheyAreSent) {
  run(page_->mouse().click(310, 210));
  EXPECT_EQ(eval("clicked"), Json::parse("[true, 310, 210]"));
}

}  // namespace
}  // namespace vendro::testing
