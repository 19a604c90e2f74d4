#include "vendro/core/error.hpp"

#include <exception>
#include <new>

namespace vendro {

namespace {
void collect(const std::exception& error, std::vector<std::string>& out) {
  // The library's own words ("std::bad_alloc") follow the Chinese message as its cause.
  if (dynamic_cast<const std::bad_alloc*>(&error)) out.emplace_back(OUT_OF_MEMORY_MESSAGE);
  out.emplace_back(error.what());
  try {
    std::rethrow_if_nested(error);
  } catch (const std::exception& cause) {
    collect(cause, out);
  } catch (...) {
    out.emplace_back("unknown error");
  }
}
}  // namespace

std::vector<std::string> error_chain(const std::exception& error) {
  std::vector<std::string> out;
  collect(error, out);
  return out;
}

std::string_view error_code(const std::exception& error) {
  if (const auto* own = dynamic_cast<const Error*>(&error)) return own->code();
  if (dynamic_cast<const std::bad_alloc*>(&error)) return OUT_OF_MEMORY_CODE;
  return "INTERNAL_ERROR";
}

}  // namespace vendro
