#pragma once
// The Rufus module's error kinds. Every one keeps a lower failure as its cause (thrown with
// std::throw_with_nested) where there is one.

#include "vendro/core/error.hpp"

namespace vendro::amazon_rufus {

VENDRO_DEFINE_ERROR(RufusError, Error, "RUFUS_ERROR");
// Neither a cookie nor a stored browser state to sign in with.
VENDRO_DEFINE_ERROR(InvalidRufusCookieError, RufusError, "RUFUS_INVALID_COOKIE");
// The headless product page gave no seed request.
VENDRO_DEFINE_ERROR(HeadlessRufusCaptureError, RufusError, "RUFUS_CAPTURE_FAILED");
// A question could not be replayed (e.g. the seed's body is not JSON).
VENDRO_DEFINE_ERROR(RufusReplayError, RufusError, "RUFUS_REPLAY_FAILED");
// A country code that names no Amazon marketplace.
VENDRO_DEFINE_ERROR(UnknownMarketplaceError, InputError, "RUFUS_UNKNOWN_MARKETPLACE");

}  // namespace vendro::amazon_rufus
