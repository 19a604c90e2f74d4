#pragma once
// Names of runs: the job ids that name a run directory of the Sif exports and the SellerSprite
// collections. Thread-safe.

#include <string>
#include <string_view>

namespace vendro {

// "PREFIX-KEY-YYYYmmdd-HHMMSS-xxxxxx": local wall-clock time and 6 random lower-case hex digits.
// Neither prefix nor key is altered.
std::string build_job_id(std::string_view prefix, std::string_view key);

}  // namespace vendro
