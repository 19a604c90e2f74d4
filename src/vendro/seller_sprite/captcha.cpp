#include "vendro/seller_sprite/captcha.hpp"

#include <string>

namespace vendro::seller_sprite {

namespace {

// Runs in the page. A widget counts only when it is rendered: a box of some size, not
// display:none, visibility:hidden or fully transparent (widgets are often in the DOM, hidden,
// long before a challenge is shown).
constexpr const char* DETECT_SCRIPT = R"JS(() => {
  const widgets = [
    '.geetest_panel', '.geetest_holder', '.geetest_widget', '.geetest_box', '.geetest_popup_wrap',
    '.geetest_slider', '.geetest_captcha',
    '#nc_1_wrapper', '.nc-container', '.nc_wrapper', '#aliyunCaptcha-window-popup',
    '#aliyunCaptcha-sliding-wrapper', '#baxia-dialog',
    '#tcaptcha_iframe', '#tcaptcha_transform', '#tcaptcha_iframe_dy', '.tcaptcha-transform',
    '.yidun_popup', '.yidun_slider', '.yidun_panel',
    '.h-captcha', '.g-recaptcha',
    '.captcha-slider', '.slider-captcha', '.puzzle-captcha', '.captcha-puzzle',
    '.verify-slider', '.slide-verify',
  ];
  const frames = ['captcha', 'geetest', 'turing.captcha', 'recaptcha', 'hcaptcha', 'nc.alicdn'];
  const overlays = /(^|[-_ ])(captcha|geetest|tcaptcha|verify-?(mask|modal|dialog|popup))([-_ ]|$)/i;
  const shown = (el) => {
    for (let node = el; node && node.nodeType === 1; node = node.parentElement) {
      const style = getComputedStyle(node);
      if (style.display === 'none' || style.visibility === 'hidden' ||
          style.visibility === 'collapse' || Number(style.opacity) === 0) return false;
    }
    const box = el.getBoundingClientRect();
    return box.width > 1 && box.height > 1;
  };
  for (const selector of widgets) {
    for (const el of document.querySelectorAll(selector)) if (shown(el)) return true;
  }
  for (const frame of document.querySelectorAll('iframe')) {
    const where = ((frame.getAttribute('src') || '') + ' ' + (frame.id || '') + ' ' +
                   (frame.getAttribute('title') || '')).toLowerCase();
    if (frames.some((word) => where.includes(word)) && shown(frame)) return true;
  }
  for (const el of document.querySelectorAll('[class*="captcha" i], [id*="captcha" i], ' +
                                             '[class*="verify" i], [id*="verify" i]')) {
    const names = (typeof el.className === 'string' ? el.className : '') + ' ' + (el.id || '');
    if (el.closest('input, button, label, a, form')) continue;
    if (!overlays.test(names)) continue;
    const box = el.getBoundingClientRect();
    if (box.width >= 120 && box.height >= 60 && shown(el)) return true;
  }
  return false;
})JS";

}  // namespace

asio::awaitable<bool> SellerSpriteCaptchaDetector::detect(
    std::shared_ptr<browser::Page> page) const {
  Json answer = co_await page->evaluate(DETECT_SCRIPT, std::nullopt, 10000);
  co_return answer.is_boolean() && answer.get<bool>();
}

}  // namespace vendro::seller_sprite
