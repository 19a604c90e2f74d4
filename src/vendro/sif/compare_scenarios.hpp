#pragma once
// Everything the multi-product compare export knows about the Sif API: the endpoint paths, the
// names operators may use for the five sections, and the request bodies. Keep every endpoint path
// and payload field here. Pure data and functions; safe from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/json.hpp"
#include "vendro/sif/common.hpp"

namespace vendro::sif {

inline constexpr std::string_view COMPARE_SALES_PATH = "/api/compare/sales/export";
inline constexpr std::string_view COMPARE_SUMMARY_PATH = "/api/compare/summary/export";
inline constexpr std::string_view COMPARE_MY_KEYWORDS_PATH = "/api/compare/my-keywords/export";

// Section names and their aliases (Chinese names and English spellings, lower case) → section.
const SectionAliases& compare_section_aliases();

// All five sections: "sales", "traffic_words", "traffic_score", "my_traffic_keywords",
// "my_ad_keywords".
const std::vector<std::string>& default_compare_sections();

// The arguments every compare payload shares. Absent values are left out of the payload, so the
// service applies its own defaults.
struct CompareQuery {
  std::vector<std::string> asins;
  std::optional<std::string> time_piece_type;
  std::optional<std::string> time_piece_value;
};

struct CompareSalesArgs {
  CompareQuery query;
  std::optional<std::int64_t> page_num;
  std::int64_t page_size = 100;
};

struct CompareSummaryArgs {
  CompareQuery query;
  int show_type = 1;  // 1 traffic words, 2 traffic score
};

struct CompareMyKeywordsArgs {
  CompareQuery query;
  int list_type = 1;  // 1 traffic keywords, 2 ad keywords
  std::optional<std::int64_t> page_num;
  std::int64_t page_size = 10;
};

// The JSON request bodies (objects) of the three endpoints.
Json compare_sales_payload(const CompareSalesArgs& args);
Json compare_summary_payload(const CompareSummaryArgs& args);
Json compare_my_keywords_payload(const CompareMyKeywordsArgs& args);

}  // namespace vendro::sif
