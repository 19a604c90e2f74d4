#pragma once
// Builds unsigned JSON Web Tokens for tests.

#include <string>

#include "vendro/core/json.hpp"

namespace vendro::testing {

inline std::string base64url(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    buffer = (buffer << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(alphabet[(buffer >> bits) & 0x3F]);
    }
  }
  if (bits > 0) out.push_back(alphabet[(buffer << (6 - bits)) & 0x3F]);
  return out;  // unpadded, as in JWTs
}

inline std::string make_jwt(const Json& claims) {
  return base64url(R"({"alg":"HS256","typ":"JWT"})") + "." + base64url(claims.dump()) +
         ".c2lnbmF0dXJl";
}

}  // namespace vendro::testing
