#include "vendro/xiyou/credentials.hpp"

#include <optional>
#include <string>

#include "vendro/core/text.hpp"

namespace vendro::xiyou {

namespace {

int base64url_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-' || c == '+') return 62;
  if (c == '_' || c == '/') return 63;
  return -1;
}

// RFC 4648 §5 decoding; trailing "=" padding is optional. Nothing for invalid input.
std::optional<std::string> base64url_decode(std::string_view input) {
  while (!input.empty() && input.back() == '=') input.remove_suffix(1);
  if (input.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(input.size() * 3 / 4);
  unsigned buffer = 0;
  int bits = 0;
  for (char c : input) {
    int value = base64url_value(c);
    if (value < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace

Json decode_jwt_payload(std::string_view token) {
  std::string trimmed = text::strip(token);
  std::string_view rest = trimmed;
  if (rest.starts_with("Bearer ") || rest.starts_with("bearer ")) {
    rest.remove_prefix(7);
    while (rest.starts_with(' ')) rest.remove_prefix(1);
  }
  auto first_dot = rest.find('.');
  auto second_dot = first_dot == std::string_view::npos ? first_dot : rest.find('.', first_dot + 1);
  if (second_dot == std::string_view::npos) {
    throw TokenDecodeError("西柚 token 不是有效的 JWT（应由三段以 . 分隔的内容组成）");
  }
  auto decoded = base64url_decode(rest.substr(first_dot + 1, second_dot - first_dot - 1));
  if (!decoded) throw TokenDecodeError("西柚 token 的载荷不是有效的 base64url 编码");
  Json payload;
  try {
    payload = parse_json(*decoded, "西柚 token 的载荷");
  } catch (const JsonError&) {
    std::throw_with_nested(TokenDecodeError("西柚 token 的载荷不是有效的 JSON"));
  }
  if (!payload.is_object()) throw TokenDecodeError("西柚 token 的载荷不是 JSON 对象");
  return payload;
}

}  // namespace vendro::xiyou
