// Locators against a local form page: selectors, strictness, waiting for actionability.

#include <chrono>

#include "browser/browser_fixture.hpp"
#include "vendro/browser/base64.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/locator.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;
using browser::TimeoutError;

const char* const FORM_PAGE = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><style>
  .menu { display: none; position: absolute; top: 200px; left: 10px; }
  .menu.open { display: block; }
  #overlay { position: fixed; inset: 0; background: rgba(0,0,0,0.3); }
  #mover { position: relative; left: 0; transition: left 0.6s linear; }
  #ghost { opacity: 0; }
</style></head><body>
  <form id="search">
    <input id="keyword" name="keyword" placeholder="关键词">
    <input id="readonly" value="fixed" readonly>
    <input id="disabled" disabled>
    <input id="count" type="number">
    <div class="site-picker"><span class="trigger">站点：<b id="site">美国</b></span></div>
    <button type="button" id="go">立即查询</button>
    <button type="button" disabled><span id="inner">禁用按钮里的字</span></button>
    <div role="button" aria-disabled="true" id="aria">aria 禁用</div>
  </form>
  <ul class="menu"><li class="item">美国</li><li class="item">日本</li><li class="item">德国</li></ul>
  <table><tr class="row"><td>USB-C  Cable</td><td><i class="icon"></i></td></tr>
         <tr class="row"><td>Phone Case</td><td><i class="icon"></i></td></tr></table>
  <p id="ghost">看不见但可见</p>
  <button id="mover" type="button">移动中</button>
  <div id="late-slot"></div>
  <script>
    window.clicks = [];
    document.addEventListener('click', (e) => clicks.push(e.target.id || e.target.textContent));
    document.querySelector('.trigger').addEventListener('click', () =>
      document.querySelector('.menu').classList.add('open'));
    for (const item of document.querySelectorAll('.item')) {
      item.addEventListener('click', () => {
        document.querySelector('#site').textContent = item.textContent;
        document.querySelector('.menu').classList.remove('open');
      });
    }
  </script>
</body></html>)";

class LocatorTest : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    server_.server().Get("/form", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(FORM_PAGE, "text/html; charset=utf-8");
    });
    server_.start();
    run(page_->goto_url(server_.base_url() + "/form"));
  }
  Json eval(const std::string& script) { return run(page_->evaluate(script)); }
};

TEST_F(LocatorTest, SelectorsCountAndNarrow) {
  EXPECT_EQ(run(page_->locator(".item").count()), 3);
  EXPECT_EQ(run(page_->locator(".item:visible").count()), 0);  // the menu is closed
  EXPECT_EQ(run(page_->locator("li:has-text('日本')").count()), 1);
  // :has-text matches every element holding the text, ancestors included.
  EXPECT_GE(run(page_->locator(":has-text('日本')").count()), 3);
  EXPECT_EQ(run(page_->locator("tr:has(td:has-text('usb-c cable'))").count()), 1);
  EXPECT_EQ(run(page_->locator("#keyword, #count, #nothing").count()), 2);
  EXPECT_EQ(run(page_->locator("xpath=//li[@class='item']").count()), 3);
  EXPECT_EQ(run(page_->locator(".row").nth(1).locator("xpath=./td[1]").inner_text()), "Phone Case");
  EXPECT_EQ(run(page_->locator(".row").filter("phone case").locator(".icon").count()), 1);
  EXPECT_EQ(run(page_->locator("form > .site-picker b").inner_text()), "美国");
  EXPECT_EQ(run(page_->locator(".item").last().inner_text()), "德国");
  // get_by_text picks the smallest element, white space and case aside.
  EXPECT_EQ(run(page_->get_by_text("usb-c cable").count()), 1);
  EXPECT_EQ(run(page_->get_by_text("usb-c cable").inner_text()), "USB-C Cable");
}

TEST_F(LocatorTest, DropdownOptionsOutsideTheTriggerAreClickedOnceOpen) {
  run(page_->locator(".site-picker .trigger").first().click({.timeout_ms = 10000}));
  run(page_->locator(".item:visible:has-text('日本')").first().click({.timeout_ms = 10000}));
  EXPECT_EQ(eval("document.querySelector('#site').textContent"), "日本");
  EXPECT_FALSE(run(page_->locator(".menu").is_visible()));
}

TEST_F(LocatorTest, StrictActionsFailAtOnceOnSeveralMatches) {
  const auto start = std::chrono::steady_clock::now();
  try {
    run(page_->locator(".item").click({.timeout_ms = 5000}));
    FAIL();
  } catch (const browser::StrictModeError& e) {
    EXPECT_NE(std::string(e.what()).find("strict mode violation"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("locator(\".item\")"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("3 个元素"), std::string::npos) << e.what();
  }
  EXPECT_THROW(run(page_->locator("input").fill("x")), browser::StrictModeError);
  EXPECT_THROW(run(page_->locator(".row").is_visible()), browser::StrictModeError);
  EXPECT_THROW(run(page_->locator(".row").inner_text()), browser::StrictModeError);
  EXPECT_THROW(run(page_->locator(".item").wait_for({.state = browser::ElementState::hidden})),
               browser::StrictModeError);
  // Several matches are simply not detached yet.
  EXPECT_THROW(run(page_->locator(".item").wait_for(
                   {.state = browser::ElementState::detached, .timeout_ms = 200})),
               TimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(LocatorTest, FillTypesAndReplacesAndWaitsOnReadonlyOrDisabled) {
  run(page_->locator("#keyword").fill("wireless charger"));
  run(page_->locator("#keyword").fill("无线充电器"));
  EXPECT_EQ(eval("document.querySelector('#keyword').value"), "无线充电器");
  run(page_->locator("#count").fill("3"));
  EXPECT_EQ(eval("document.querySelector('#count').value"), "3");
  EXPECT_THROW(run(page_->locator("#count").fill("three")), browser::InvalidValueError);
  EXPECT_EQ(eval("document.querySelector('#count').value"), "3");
  run(page_->locator("#keyword").fill(""));
  EXPECT_EQ(eval("document.querySelector('#keyword').value"), "");

  for (const char* selector : {"#readonly", "#disabled"}) {
    const auto start = std::chrono::steady_clock::now();
    try {
      run(page_->locator(selector).fill("x", {.timeout_ms = 300}));
      FAIL() << selector;
    } catch (const TimeoutError& e) {
      EXPECT_NE(std::string(e.what()).find("300ms"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(selector), std::string::npos) << e.what();
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  }
  // A readonly input can still be clicked.
  run(page_->locator("#readonly").click({.timeout_ms = 1000}));
  EXPECT_EQ(eval("clicks.at(-1)"), "readonly");
}

TEST_F(LocatorTest, ClickWaitsForLateMovingAndCoveredElements) {
  // Appears after 300 ms.
  eval(
      "setTimeout(() => { const b = document.createElement('button'); b.id = 'late'; "
      "b.textContent = '晚到'; document.querySelector('#late-slot').append(b); }, 300)");
  run(page_->locator("#late").click({.timeout_ms = 5000}));
  EXPECT_EQ(eval("clicks.at(-1)"), "late");

  // Moves for 600 ms; the click lands once it rests.
  eval("document.querySelector('#mover').style.left = '300px'");
  run(page_->locator("#mover").click({.timeout_ms = 5000}));
  EXPECT_EQ(eval("clicks.at(-1)"), "mover");
  EXPECT_EQ(eval("document.querySelector('#mover').getBoundingClientRect().left > 250"), true);

  // Covered by an overlay: waits, names the cover, and clicks once it is gone.
  eval("const o = document.createElement('div'); o.id = 'overlay'; document.body.append(o)");
  try {
    run(page_->locator("#go").click({.timeout_ms = 300}));
    FAIL();
  } catch (const TimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("overlay"), std::string::npos) << e.what();
  }
  eval("setTimeout(() => document.querySelector('#overlay').remove(), 200)");
  run(page_->locator("#go").click({.timeout_ms = 5000}));
  EXPECT_EQ(eval("clicks.at(-1)"), "go");
}

TEST_F(LocatorTest, ActionsProceedOnceTheElementBecomesReady) {
  // Enabled, made editable, inserted and revealed while each action already waits.
  eval(
      "setTimeout(() => { const b = document.querySelector('button[disabled]'); b.id = 'later';"
      " b.disabled = false; }, 200)");
  run(page_->locator("button:has(#inner)").click({.timeout_ms = 5000}));
  EXPECT_EQ(eval("clicks.at(-1)"), "inner");
  eval("setTimeout(() => document.querySelector('#readonly').readOnly = false, 200)");
  run(page_->locator("#readonly").fill("可以改了", {.timeout_ms = 5000}));
  EXPECT_EQ(eval("document.querySelector('#readonly').value"), "可以改了");
  eval(
      "setTimeout(() => { const p = document.createElement('p'); p.id = 'late-text';"
      " p.textContent = '晚到的字'; document.body.append(p); }, 200)");
  EXPECT_EQ(run(page_->locator("#late-text").inner_text({.timeout_ms = 5000})), "晚到的字");
  eval("setTimeout(() => document.querySelector('#late-text').remove(), 200)");
  run(page_->locator("#late-text")
          .wait_for({.state = browser::ElementState::detached, .timeout_ms = 5000}));
  eval(
      "setTimeout(() => { const p = document.createElement('p'); p.id = 'attached-only';"
      " p.hidden = true; document.body.append(p); }, 200)");
  run(page_->locator("#attached-only")
          .wait_for({.state = browser::ElementState::attached, .timeout_ms = 5000}));
  EXPECT_FALSE(run(page_->locator("#attached-only").is_visible()));
}

TEST_F(LocatorTest, DisabledTargetsAreNotClickable) {
  EXPECT_THROW(run(page_->locator("#inner").click({.timeout_ms = 200})), TimeoutError);
  EXPECT_THROW(run(page_->locator("#aria").click({.timeout_ms = 200})), TimeoutError);
  EXPECT_EQ(eval("clicks.length"), 0);
}

TEST_F(LocatorTest, VisibilityAnswersAtOnceAndWaitForWaits) {
  EXPECT_TRUE(run(page_->locator("#ghost").is_visible()));  // opacity 0 still counts
  EXPECT_FALSE(run(page_->locator(".menu").is_visible()));
  EXPECT_FALSE(run(page_->locator("#nothing").is_visible()));
  EXPECT_TRUE(run(page_->get_by_text("立即查询").first().is_visible()));

  eval("setTimeout(() => document.querySelector('.menu').classList.add('open'), 200)");
  run(page_->locator(".menu").wait_for(
      {.state = browser::ElementState::visible, .timeout_ms = 5000}));
  eval("setTimeout(() => document.querySelector('.menu').classList.remove('open'), 200)");
  run(page_->locator(".menu").wait_for(
      {.state = browser::ElementState::hidden, .timeout_ms = 5000}));
  try {
    run(page_->locator("#nothing")
            .wait_for({.state = browser::ElementState::visible, .timeout_ms = 250}));
    FAIL();
  } catch (const TimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("locator(\"#nothing\").wait_for"), std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("250ms"), std::string::npos) << e.what();
  }
}

// Width and height of a PNG live at bytes 16-23.
std::pair<unsigned, unsigned> png_size(const std::string& png) {
  auto be32 = [&](std::size_t at) {
    return (static_cast<unsigned>(static_cast<unsigned char>(png[at])) << 24) |
           (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  if (png.size() < 24 || png.substr(1, 3) != "PNG") return {0, 0};
  return {be32(16), be32(20)};
}

class ScreenshotTest : public LocatorTest {
 protected:
  // "r,g,b" of the shot's pixel at (x, y), decoded by the page itself.
  std::string pixel(const std::string& png, int x, int y) {
    return eval("(async () => { const img = new Image(); img.src = 'data:image/png;base64," +
                browser::base64_encode(png) +
                "'; await img.decode(); const c = document.createElement('canvas'); "
                "c.width = img.width; c.height = img.height; const g = c.getContext('2d'); "
                "g.drawImage(img, 0, 0); return [...g.getImageData(" +
                std::to_string(x) + ", " + std::to_string(y) +
                ", 1, 1).data].slice(0, 3).join(); })()")
        .get<std::string>();
  }
  void add_box(const std::string& id, int top, int height) {
    eval("{ const d = document.createElement('div'); d.id = '" + id +
         "'; d.style.cssText = 'position:absolute;left:5px;top:" + std::to_string(top) +
         "px;width:120px;height:" + std::to_string(height) +
         "px;background:rgb(200,30,30)'; document.body.append(d); }");
  }
  static constexpr const char* RED = "200,30,30";
};

TEST_F(ScreenshotTest, ElementShotsCatchTheElementOnScreenOrBeyond) {
  eval("document.body.style.height = '5000px'");
  add_box("near", 10, 40);
  add_box("far", 4000, 40);
  add_box("tall", 1000, 2500);
  const std::string near = run(page_->locator("#near").screenshot());
  EXPECT_EQ(png_size(near), std::make_pair(120u, 40u));
  EXPECT_EQ(pixel(near, 60, 20), RED);

  run(page_->locator("#far").scroll_into_view_if_needed({.timeout_ms = 5000}));
  EXPECT_EQ(eval("scrollY > 3000"), true);
  EXPECT_EQ(run(page_->locator("#far").screenshot()), near);

  // Taller than the viewport: rendered beyond it, whole.
  const std::string tall = run(page_->locator("#tall").screenshot());
  EXPECT_EQ(png_size(tall), std::make_pair(120u, 2500u));
  EXPECT_EQ(pixel(tall, 60, 10), RED);
  EXPECT_EQ(pixel(tall, 60, 2490), RED);
}

TEST_F(ScreenshotTest, FullPageShotFitsTheViewportOrTheWholeDocument) {
  eval("document.body.innerHTML = ''; document.body.style.cssText = 'margin:0;height:auto'");
  add_box("top", 0, 100);
  const std::string fitting = run(page_->screenshot());
  const auto [width, height] = png_size(fitting);
  EXPECT_EQ(width, eval("innerWidth").get<unsigned>());
  EXPECT_EQ(height, eval("innerHeight").get<unsigned>());
  EXPECT_EQ(pixel(fitting, 60, 50), RED);

  eval("document.body.style.height = '3000px'; scrollTo(0, 1000)");
  add_box("bottom", 2900, 100);
  const std::string whole = run(page_->screenshot());
  EXPECT_EQ(png_size(whole), std::make_pair(width, 3000u));
  EXPECT_EQ(pixel(whole, 60, 50), RED);
  EXPECT_EQ(pixel(whole, 60, 2950), RED);
}

}  // namespace
}  // namespace vendro::testing
