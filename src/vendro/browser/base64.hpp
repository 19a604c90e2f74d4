#pragma once
// Base64 as the DevTools protocol uses it for bodies and screenshots.

#include <string>
#include <string_view>

namespace vendro::browser {

// Decodes standard base64; characters outside the alphabet (line breaks, padding) are skipped.
std::string base64_decode(std::string_view text);
std::string base64_encode(std::string_view bytes);

}  // namespace vendro::browser
