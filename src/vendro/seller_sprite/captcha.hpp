#pragma once
// Tells whether a page shows a captcha challenge: one of the common slider and puzzle widgets
// (geetest, Aliyun, Tencent, NetEase, hCaptcha, reCAPTCHA and similar), a visible captcha frame,
// or a visible challenge overlay. The word 验证码 alone is not a challenge: login pages offer an
// SMS-code login tab.

#include <asio/awaitable.hpp>
#include <memory>

#include "vendro/browser/page.hpp"

namespace vendro::seller_sprite {

class SellerSpriteCaptchaDetector {
 public:
  // True when a challenge is visible in the page's main document now. Never waits. Throws the
  // driver's errors (a closed page).
  asio::awaitable<bool> detect(std::shared_ptr<browser::Page> page) const;
};

}  // namespace vendro::seller_sprite
