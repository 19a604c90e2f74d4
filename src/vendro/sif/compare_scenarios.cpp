#include "vendro/sif/compare_scenarios.hpp"

namespace vendro::sif {

const SectionAliases& compare_section_aliases() {
  static const SectionAliases aliases = {
      {"sales", "sales"},
      {"sale", "sales"},
      {"compare_sales", "sales"},
      {"销量", "sales"},
      {"对比销量", "sales"},
      {"traffic_words", "traffic_words"},
      {"traffic-words", "traffic_words"},
      {"trafficwords", "traffic_words"},
      {"words", "traffic_words"},
      {"流量词", "traffic_words"},
      {"对比流量词", "traffic_words"},
      {"traffic_score", "traffic_score"},
      {"traffic-score", "traffic_score"},
      {"trafficscore", "traffic_score"},
      {"score", "traffic_score"},
      {"流量分", "traffic_score"},
      {"对比流量分", "traffic_score"},
      {"my_traffic_keywords", "my_traffic_keywords"},
      {"my-traffic-keywords", "my_traffic_keywords"},
      {"traffic_keywords", "my_traffic_keywords"},
      {"重点流量词", "my_traffic_keywords"},
      {"my_ad_keywords", "my_ad_keywords"},
      {"my-ad-keywords", "my_ad_keywords"},
      {"ad_keywords", "my_ad_keywords"},
      {"重点广告词", "my_ad_keywords"},
      {"广告词", "my_ad_keywords"},
  };
  return aliases;
}

const std::vector<std::string>& default_compare_sections() {
  static const std::vector<std::string> sections = {"sales", "traffic_words", "traffic_score",
                                                    "my_traffic_keywords", "my_ad_keywords"};
  return sections;
}

namespace {

Json base_payload(const CompareQuery& query) {
  Json payload = Json::object();
  payload["asins"] = query.asins;
  if (query.time_piece_type) payload["timePieceType"] = *query.time_piece_type;
  if (query.time_piece_value) payload["timePieceValue"] = *query.time_piece_value;
  return payload;
}

}  // namespace

Json compare_sales_payload(const CompareSalesArgs& args) {
  Json payload = base_payload(args.query);
  if (args.page_num) payload["pageNum"] = *args.page_num;
  payload["pageSize"] = args.page_size;
  return payload;
}

Json compare_summary_payload(const CompareSummaryArgs& args) {
  Json payload = base_payload(args.query);
  payload["showType"] = args.show_type;
  return payload;
}

Json compare_my_keywords_payload(const CompareMyKeywordsArgs& args) {
  Json payload = base_payload(args.query);
  payload["listType"] = args.list_type;
  if (args.page_num) payload["pageNum"] = *args.page_num;
  payload["pageSize"] = args.page_size;
  return payload;
}

}  // namespace vendro::sif
