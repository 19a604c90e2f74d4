#include "vendro/core/job_id.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace vendro {
namespace {

TEST(JobId, FormatsPrefixKeyLocalTimeAndSixHexDigits) {
  std::regex shape(R"(sif-compare-3asins-\d{8}-\d{6}-[0-9a-f]{6})");
  // Retry across a second boundary: two ids of the same second differ only in the suffix.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string a = build_job_id("sif-compare", "3asins");
    std::string b = build_job_id("sif-compare", "3asins");
    ASSERT_TRUE(std::regex_match(a, shape)) << a;
    ASSERT_TRUE(std::regex_match(b, shape)) << b;
    if (a.substr(0, a.size() - 6) != b.substr(0, b.size() - 6)) continue;
    EXPECT_NE(a.substr(a.size() - 6), b.substr(b.size() - 6));
    return;
  }
  FAIL() << "job ids never shared a second";
}

TEST(JobId, KeepsPrefixAndKeyAsGiven) {
  std::string id = build_job_id("前缀 x/", "k");
  EXPECT_TRUE(id.starts_with("前缀 x/-k-")) << id;
}

}  // namespace
}  // namespace vendro
