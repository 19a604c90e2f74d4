#include "vendro/browser/base64.hpp"

#include <array>

namespace vendro::browser {

namespace {
constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> decode_table() {
  std::array<signed char, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<signed char>(i);
  return table;
}
}  // namespace

std::string base64_decode(std::string_view text) {
  static constexpr auto TABLE = decode_table();
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned int bits = 0;
  int count = 0;
  for (unsigned char c : text) {
    const int v = TABLE[c];
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<unsigned int>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned int n = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
    out += {ALPHABET[(n >> 18) & 63], ALPHABET[(n >> 12) & 63], ALPHABET[(n >> 6) & 63],
            ALPHABET[n & 63]};
  }
  if (i < bytes.size()) {
    unsigned int n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += ALPHABET[(n >> 18) & 63];
    out += ALPHABET[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? ALPHABET[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace vendro::browser
