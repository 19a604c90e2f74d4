#pragma once
// The SellerSprite collector's error kinds. Captcha pages and missing logins are reported inside
// result maps with the codes of the first two; the collector raises neither.

#include "vendro/core/error.hpp"

namespace vendro::seller_sprite {

VENDRO_DEFINE_ERROR(SellerSpriteError, Error, "SELLER_SPRITE_ERROR");
// The page showed a captcha challenge.
VENDRO_DEFINE_ERROR(SellerSpriteCaptchaRequiredError, SellerSpriteError,
                    "SELLER_SPRITE_CAPTCHA_REQUIRED");
// The page showed no logged-in user.
VENDRO_DEFINE_ERROR(SellerSpriteLoginRequiredError, SellerSpriteError,
                    "SELLER_SPRITE_LOGIN_REQUIRED");
// What the collector needs to run is missing: no Chromium to drive.
VENDRO_DEFINE_ERROR(SellerSpriteDependencyError, SellerSpriteError,
                    "SELLER_SPRITE_DEPENDENCY_ERROR");
// The person at the terminal could not be asked: standard input is closed.
VENDRO_DEFINE_ERROR(SellerSpriteOperatorError, SellerSpriteError, "SELLER_SPRITE_NO_OPERATOR");
// The configured origin or account file is unusable.
VENDRO_DEFINE_ERROR(SellerSpriteConfigError, SellerSpriteError, "SELLER_SPRITE_CONFIG_ERROR");

}  // namespace vendro::seller_sprite
