#include "vendro/shared/error_message.hpp"

#include <array>
#include <string_view>

#include "vendro/core/text.hpp"

namespace vendro::shared {

namespace {

constexpr std::array<std::string_view, 4> MESSAGE_KEYS = {"message", "msg", "error", "detail"};
// Payloads are small, but a hostile one must not recurse without bound.
constexpr int MAX_DEPTH = 8;

std::string search(const Json& value, int depth) {
  if (depth > MAX_DEPTH) return "";
  if (value.is_string()) return text::strip(value.get_ref<const std::string&>());
  if (value.is_array()) {
    for (const Json& item : value) {
      if (auto found = search(item, depth + 1); !found.empty()) return found;
    }
    return "";
  }
  if (!value.is_object()) return "";
  for (std::string_view key : MESSAGE_KEYS) {
    auto it = value.find(key);
    if (it == value.end()) continue;
    if (auto found = search(*it, depth + 1); !found.empty()) return found;
  }
  return "";
}

}  // namespace

std::string extract_error_message(const Json& payload) {
  return search(payload, 0);
}

}  // namespace vendro::shared
