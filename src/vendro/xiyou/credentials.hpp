#pragma once
// Reading the claims of a stored Xiyou token. The signature is not checked: the claims are only
// used to show the operator when the token expires.

#include <string_view>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro::xiyou {

// The token is not a JSON Web Token whose payload is a base64url-encoded JSON object.
VENDRO_DEFINE_ERROR(TokenDecodeError, InputError, "XIYOU_TOKEN_INVALID");

// The payload (second dot-separated segment) of the JWT `token`, decoded from base64url (with or
// without padding) and parsed as a JSON object. A leading "Bearer " is ignored. Throws
// TokenDecodeError for anything else. Pure.
Json decode_jwt_payload(std::string_view token);

}  // namespace vendro::xiyou
