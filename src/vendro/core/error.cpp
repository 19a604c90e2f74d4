#include "vendro/core/error.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <typeinfo>

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

std::string error_type_name(const std::exception& error) {
  const char* mangled = typeid(error).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  // "vendro::browser::TimeoutError" → "TimeoutError"; template arguments are not expected here.
  if (const auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

std::string failure_report(const std::exception& error) {
  const std::vector<std::string> chain = error_chain(error);
  std::string report = "错误 [" + std::string(error_code(error)) + "]：" + chain.front();
  for (std::size_t i = 1; i < chain.size(); ++i) report += "\n  原因：" + chain[i];
  return report;
}

}  // namespace vendro
