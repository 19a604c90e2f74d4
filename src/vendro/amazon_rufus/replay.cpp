#include "vendro/amazon_rufus/replay.hpp"

#include <algorithm>
#include <unordered_map>

#include "vendro/amazon_rufus/errors.hpp"
#include "vendro/core/text.hpp"
#include "vendro/core/uri.hpp"

namespace vendro::amazon_rufus {

namespace {

// Runs in the page: the request goes out with the page's own cookies, and the answer stream is
// read whatever the status, up to the parser's bound (the rest is cancelled, so an endless
// stream cannot fill the browser's memory or ours).
std::string fetch_script() {
  return R"(async ({url, body, headers}) => {
  const limit = )" +
         std::to_string(RufusParserService::MAX_RAW_BYTES) + R"(;
  const response = await fetch(url, {
    method: 'POST', headers, body: JSON.stringify(body), credentials: 'include'});
  if (!response.body) return await response.text();
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let text = '';
  for (let received = 0;;) {
    const {done, value} = await reader.read();
    if (done) break;
    received += value.length;
    text += decoder.decode(value, {stream: true});
    if (received >= limit) {
      await reader.cancel();
      break;
    }
  }
  return text + decoder.decode();
})";
}

// The object under `key`; anything else there (null included) is replaced by a new one.
Json& object_at(Json& parent, const std::string& key) {
  Json& value = parent[key];
  if (!value.is_object()) value = Json::object();
  return value;
}

// Form fields with unique names: the first occurrence keeps its place, the last its value.
class FieldMap {
 public:
  void set(const std::string& name, const std::string& value) {
    auto [at, added] = index_.try_emplace(name, fields_.size());
    if (added) {
      fields_.emplace_back(name, value);
    } else {
      fields_[at->second].second = value;
    }
  }
  bool contains(const std::string& name) const { return index_.contains(name); }
  const uri::FormFields& fields() const { return fields_; }

 private:
  uri::FormFields fields_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace

Json RufusReplayService::build_payload(const PayloadRequest& request) const {
  Json seed;
  try {
    seed = parse_json(request.seed_body.empty() ? "{}" : request.seed_body, "seed request body");
  } catch (const JsonError&) {
    std::throw_with_nested(RufusReplayError("seed request body 不是合法 JSON"));
  }
  Json payload = seed.is_object() ? std::move(seed) : Json::object();
  // Adding a member to `payload` may move its members: each reference into it below is done
  // with before the next member is added.

  Json& query = object_at(payload, "queryContext");
  query["query"] = request.question;
  query["actionType"] = "SEARCH";
  query["qis"] = "NileCLTextInput";

  Json& page = object_at(payload, "pageContext");
  for (const char* key : {"pageType", "targetPageType", "originPageType"}) {
    page[key] = "DETAIL_PAGE";
  }
  const std::string asin = text::to_upper(text::strip(request.asin.value_or("")));
  if (!asin.empty()) {
    if (request.origin_url && !request.origin_url->empty()) {
      page["targetUrl"] = *request.origin_url;
      page["originUrl"] = *request.origin_url;
    }
    for (const char* key : {"targetPageMetadata", "pageMetadata", "originPageMetadata"}) {
      _upsert_asin_metadata(page, key, asin);
    }
  }

  object_at(payload, "bottomSheetContext")["previousTurnsBottomSheetSize"] = "expanded";
  object_at(payload, "impressionsContext")["FIRST_TIME_USER_MESSAGE_SEEN_STATUS"] = "SEEN";

  Json& history = payload["historyThreadContext"];
  Json state = history.is_object() ? history.value("threadState", Json()) : Json();
  history = Json{{"threadId", request.thread_id ? Json(*request.thread_id) : Json()},
                 {"threadState", truthy(state) ? state : Json("THREAD_STATE_UNKNOWN")}};
  return payload;
}

std::string RufusReplayService::build_replay_url(const SeedRequestRecord& seed) const {
  uri::UriParts url = uri::split(seed.request_url);
  FieldMap query;
  for (const auto& [name, value] : uri::decode_form(url.query.value_or(""))) {
    query.set(name, value);
  }
  if (!seed.tab_id.empty()) query.set("tabId", seed.tab_id);
  if (!query.contains("programId")) query.set("programId", std::string(DEFAULT_PROGRAM_ID));
  if (!query.contains("ref")) query.set("ref", std::string(DEFAULT_REF));
  url.query = uri::encode_form(query.fields());
  if (url.fragment && url.fragment->empty()) url.fragment.reset();
  return url.to_string();
}

std::vector<AnswerData> RufusReplayService::replay(const SeedRequestRecord&,
                                                   const std::vector<std::string>&) const {
  return {};
}

std::vector<AnswerData> RufusReplayService::replay_with_page(
    browser::blocking::Page& page, const SeedRequestRecord& seed,
    const std::vector<std::string>& questions) const {
  Json headers = Json::object();
  for (const auto& [name, value] : _build_replay_headers(seed.request_headers)) {
    headers[name] = value;
  }
  const std::string url = build_replay_url(seed);
  const std::string script = fetch_script();
  std::vector<AnswerData> answers;
  std::optional<std::string> thread_id;
  for (const auto& question : questions) {
    Json body = build_payload({.seed_body = seed.request_body,
                               .question = question,
                               .thread_id = thread_id,
                               .asin = seed.asin});
    Json argument{{"url", url}, {"body", std::move(body)}, {"headers", headers}};
    const Json raw = page.evaluate(script, std::move(argument), QUESTION_TIMEOUT_MS);
    if (!raw.is_string()) throw RufusReplayError("Rufus 回放失败：页面返回的回答不是文本");
    AnswerData answer = parser.parse(raw.get_ref<const std::string&>());
    if (answer.thread_id && !answer.thread_id->empty()) thread_id = answer.thread_id;
    answers.push_back(std::move(answer));
  }
  return answers;
}

HeaderList RufusReplayService::_build_replay_headers(const HeaderList& request_headers) {
  HeaderList headers;
  for (const auto& [name, value] : request_headers) {
    std::string lower = text::to_lower(name);
    if (std::find(REPLAY_HEADER_ALLOWLIST.begin(), REPLAY_HEADER_ALLOWLIST.end(), lower) ==
        REPLAY_HEADER_ALLOWLIST.end()) {
      continue;
    }
    auto same = std::find_if(headers.begin(), headers.end(),
                             [&](const auto& header) { return header.first == lower; });
    if (same != headers.end()) {
      same->second = value;
    } else {
      headers.emplace_back(std::move(lower), value);
    }
  }
  if (std::none_of(headers.begin(), headers.end(),
                   [](const auto& header) { return header.first == "content-type"; })) {
    headers.emplace_back("content-type", "application/json");
  }
  return headers;
}

void RufusReplayService::_upsert_asin_metadata(Json& page_context, const std::string& key,
                                               const std::string& asin) {
  Json& metadata = page_context[key];
  if (!metadata.is_array()) metadata = Json::array();
  for (auto& element : metadata) {
    if (element.is_object() && element.value("type", Json()) == "ASIN") {
      element["value"] = asin;
      return;
    }
  }
  metadata.push_back(Json{{"type", "ASIN"}, {"value", asin}});
}

}  // namespace vendro::amazon_rufus
