#include "vendro/keepa/parse_input.hpp"

namespace vendro::keepa::detail {

std::string nul_byte_error(std::size_t offset) {
  return "第 " + std::to_string(offset + 1) + " 个字节是 NUL（\\0），JSON 值之后只能有空白";
}

}  // namespace vendro::keepa::detail
