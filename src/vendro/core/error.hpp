#pragma once
// The root of every error vendro raises. `what()` is exactly the message meant for the operator
// (usually Chinese); `code()` is the machine code of the most derived type. A lower-level failure
// is kept as the cause by throwing with std::throw_with_nested from inside the handler.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vendro {

class Error : public std::runtime_error {
 public:
  static constexpr std::string_view CODE = "VENDRO_ERROR";
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  virtual std::string_view code() const noexcept { return CODE; }
};

// Declares `Name`, derived from `Base`, whose class-level code is `Code`.
#define VENDRO_DEFINE_ERROR(Name, Base, Code)                        \
  class Name : public Base {                                         \
   public:                                                           \
    static constexpr std::string_view CODE = Code;                   \
    using Base::Base;                                                \
    std::string_view code() const noexcept override { return CODE; } \
  }

// Bad input from the caller: wrong type, missing value, unknown name.
VENDRO_DEFINE_ERROR(InputError, Error, "INVALID_INPUT");
// A file could not be read, written or parsed.
VENDRO_DEFINE_ERROR(FileError, Error, "FILE_ERROR");
// The base of every failure while talking to a remote service.
VENDRO_DEFINE_ERROR(RemoteError, Error, "REMOTE_ERROR");

// Memory ran out (std::bad_alloc): a huge input or a machine under pressure, not a fault of ours.
inline constexpr std::string_view OUT_OF_MEMORY_CODE = "OUT_OF_MEMORY";
inline constexpr const char* OUT_OF_MEMORY_MESSAGE = "内存不足，操作未能完成（输入可能过大）";

// The messages of `error` and of every nested cause, outermost first. A std::bad_alloc shows as
// OUT_OF_MEMORY_MESSAGE followed by the library's own text.
std::vector<std::string> error_chain(const std::exception& error);

// The code of `error` if it is a vendro::Error, OUT_OF_MEMORY_CODE for std::bad_alloc, else
// "INTERNAL_ERROR".
std::string_view error_code(const std::exception& error);

// The failure as operators read it: "错误 [CODE]：message", then one "  原因：..." line per cause.
std::string failure_report(const std::exception& error);

// The unqualified name of the most derived type of `error` ("TimeoutError", "bad_alloc"), for
// messages that say what kind of failure ended a step.
std::string error_type_name(const std::exception& error);

}  // namespace vendro
