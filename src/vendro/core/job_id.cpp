#include "vendro/core/job_id.hpp"

#include <cstdint>
#include <ctime>
#include <random>

namespace vendro {

std::string build_job_id(std::string_view prefix, std::string_view key) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);

  // The first 6 hex digits of a version-4 UUID are plain random bits.
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  static constexpr char HEX[] = "0123456789abcdef";
  std::uint64_t bits = rng();
  std::string suffix;
  for (int i = 0; i < 6; ++i) suffix += HEX[(bits >> (4 * i)) & 0xF];

  std::string id;
  id.append(prefix).append("-").append(key).append("-").append(stamp).append("-").append(suffix);
  return id;
}

}  // namespace vendro
