#pragma once
// Pulling a readable message out of the JSON error payloads that remote services send back.

#include <string>

#include "vendro/core/json.hpp"

namespace vendro::shared {

// The message an error payload carries, or empty text when it carries none. Looks at "message",
// "msg", "error" and "detail" in that order; a member that is itself an object is searched the
// same way ({"error": {"message": "..."}}), a list is searched element by element
// ({"detail": [{"msg": "..."}]}), and a text member wins when it is not blank. A payload that is
// plain text is its own message. Never throws; pure.
std::string extract_error_message(const Json& payload);

}  // namespace vendro::shared
