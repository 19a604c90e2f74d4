// What locators reach beyond plain CSS: ">>" chains, nested :has, text=, open shadow roots, and
// pages that replace the built-ins a selector engine relies on or navigate under it.

#include <chrono>

#include "browser/browser_fixture.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/locator.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;
using browser::BrowserError;
using browser::TimeoutError;

const char* const SHOP_PAGE = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body>
  <div id="cards">
    <div class="card"><h3>USB-C Cable</h3>
      <div class="tags"><span class="tag">热卖</span></div>
      <button class="buy" id="buy1">购买</button></div>
    <div class="card"><h3>Phone Case</h3>
      <div class="tags"><span class="tag">新品</span></div>
      <button class="buy" id="buy2">购买</button></div>
  </div>
  <shop-widget id="widget"></shop-widget>
  <a id="next" href="/second">下一页</a>
  <script>
    window.clicks = [];
    document.addEventListener('click', (e) => clicks.push(e.target.id));
    const root = document.querySelector('#widget').attachShadow({ mode: 'open' });
    root.innerHTML = '<label>数量 <input id="qty"></label><button id="shadow-go">加入购物车</button>';
    root.querySelector('#shadow-go').addEventListener('click', () => clicks.push('shadow-go'));
  </script>
</body></html>)";

const char* const SECOND_PAGE = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body><p id="second">第二页</p></body></html>)";

class LocatorReachTest : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    server_.server().Get("/shop", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(SHOP_PAGE, "text/html; charset=utf-8");
    });
    server_.server().Get("/second", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(SECOND_PAGE, "text/html; charset=utf-8");
    });
    server_.start();
    run(page_->goto_url(server_.base_url() + "/shop"));
  }
  Json eval(const std::string& script) { return run(page_->evaluate(script)); }
  std::string shadow_value() {
    return eval("document.querySelector('#widget').shadowRoot.querySelector('#qty').value");
  }
};

TEST_F(LocatorReachTest, ChainsNestedHasAndTextSelectors) {
  EXPECT_EQ(run(page_->locator(".card >> button.buy").count()), 2);
  EXPECT_EQ(run(page_->locator(".card:has(.tags:has(.tag:has-text('热卖'))) >> button").count()),
            1);
  run(page_->locator(".card:has(.tags:has(.tag:has-text('新品'))) >> button").click());
  EXPECT_EQ(eval("clicks.at(-1)"), "buy2");
  EXPECT_EQ(run(page_->locator("text=phone   CASE").inner_text()), "Phone Case");
  EXPECT_EQ(run(page_->locator("#cards >> text=usb-c").count()), 1);
  // Under a locator, "//" searches below its element, not the whole document.
  EXPECT_EQ(run(page_->locator(".card").nth(1).locator("xpath=//button").count()), 1);
  run(page_->locator(".card").nth(0).locator("xpath=//button").click());
  EXPECT_EQ(eval("clicks.at(-1)"), "buy1");
}

TEST_F(LocatorReachTest, ElementsInsideOpenShadowRootsAreFoundClickedAndFilled) {
  EXPECT_EQ(run(page_->get_by_text("加入购物车").count()), 1);
  run(page_->locator("#widget #shadow-go").click({.timeout_ms = 5000}));
  EXPECT_EQ(eval("clicks.includes('shadow-go')"), true);
  run(page_->locator("#qty").fill("3"));
  EXPECT_EQ(shadow_value(), "3");
  // A label stands for its control.
  run(page_->locator("#widget label").fill("7"));
  EXPECT_EQ(shadow_value(), "7");
}

TEST_F(LocatorReachTest, PagesThatReplaceBuiltInsCannotBreakOrSeeTheEngine) {
  EXPECT_EQ(run(page_->locator(".card").count()), 2);
  EXPECT_EQ(eval("typeof globalThis.__vendro"), "undefined");
  eval(R"JS(
    Array.prototype.map = Array.prototype.filter = () => { throw new Error('map'); };
    Array.from = () => [];
    Document.prototype.querySelectorAll = Element.prototype.querySelectorAll = () => [];
    Element.prototype.matches = () => false;
    Element.prototype.getBoundingClientRect = () => new DOMRect(0, 0, 0, 0);
    window.getComputedStyle = () => { throw new Error('style'); };
    window.requestAnimationFrame = () => 0;
    String.prototype.toLowerCase = () => 'x';
    globalThis.__vendro = 'the page owns this name';
  )JS");
  EXPECT_EQ(run(page_->locator(".card:has-text('phone case') >> button").count()), 1);
  EXPECT_TRUE(run(page_->locator("#buy1").is_visible()));
  run(page_->locator("#buy1").click({.timeout_ms = 5000}));
  EXPECT_EQ(eval("clicks.at(-1)"), "buy1");
  run(page_->locator("#qty").fill("12", {.timeout_ms = 5000}));
  EXPECT_EQ(shadow_value(), "12");
  EXPECT_EQ(eval("globalThis.__vendro"), "the page owns this name");
}

TEST_F(LocatorReachTest, TheEngineFollowsNavigations) {
  EXPECT_EQ(run(page_->locator(".card").count()), 2);
  // The click starts a navigation; the wait spans the old document, the switch and the new one.
  run(page_->locator("#next").click());
  run(page_->locator("#second").wait_for(
      {.state = browser::ElementState::visible, .timeout_ms = 10000}));
  EXPECT_EQ(run(page_->locator("#second").inner_text()), "第二页");
  run(page_->goto_url(server_.base_url() + "/shop"));
  EXPECT_EQ(run(page_->locator(".card").count()), 2);
  EXPECT_EQ(run(page_->locator("#second").count()), 0);
}

TEST_F(LocatorReachTest, MalformedSelectorsAndUnfillableTargetsFailAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  for (const char* selector : {"div >", "div:has-text('x", "foo=bar", "xpath=//div[", "text=\"x"}) {
    try {
      run(page_->locator(selector).click({.timeout_ms = 5000}));
      FAIL() << selector;
    } catch (const browser::SelectorError& e) {
      EXPECT_NE(std::string(e.what()).find(selector), std::string::npos) << e.what();
      EXPECT_EQ(e.code(), "BROWSER_MALFORMED_SELECTOR");
    } catch (const BrowserError& e) {
      FAIL() << selector << " failed as another kind: " << e.what();
    }
  }
  try {
    run(page_->locator("#cards").fill("x", {.timeout_ms = 5000}));
    FAIL();
  } catch (const browser::NotFillableError& e) {
    EXPECT_NE(std::string(e.what()).find("locator(\"#cards\")"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("<textarea>"), std::string::npos) << e.what();
  } catch (const BrowserError& e) {
    FAIL() << "failed as another kind: " << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

}  // namespace
}  // namespace vendro::testing
