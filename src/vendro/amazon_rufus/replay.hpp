#pragma once
// Asks Rufus a list of questions by replaying a captured seed request (基于 seed request 逐题重放
// Rufus). For each question the seed's JSON body is rewritten (question, page context, ASIN
// metadata, conversation thread) and POSTed to the seed's streaming URL from inside an Amazon
// page the caller has open, so the request carries that page's cookies. The thread id of each
// answer goes into the next question: the questions form one conversation.
//
// Blocking: replay_with_page runs on the driver's thread and waits for every answer in turn.
// The service holds only its parser; one page serves one replay at a time.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/amazon_rufus/models.hpp"
#include "vendro/amazon_rufus/parser.hpp"
#include "vendro/browser/blocking.hpp"
#include "vendro/core/json.hpp"

namespace vendro::amazon_rufus {

// What build_payload rewrites a seed body with.
struct PayloadRequest {
  std::string_view seed_body;  // the seed's body; "" reads as "{}"
  std::string_view question;
  std::optional<std::string> thread_id;   // null "threadId" when absent
  std::optional<std::string> asin;        // trimmed and upper-cased; blank or absent: no metadata
  std::optional<std::string> origin_url;  // "targetUrl"/"originUrl", only together with an ASIN
};

class RufusReplayService {
 public:
  // The only seed headers replayed (lower case); cookies come from the page itself.
  static constexpr std::array<std::string_view, 3> REPLAY_HEADER_ALLOWLIST = {
      "anti-csrftoken-a2z", "content-type", "x-amz-is-papyrus"};
  static constexpr std::string_view DEFAULT_PROGRAM_ID = "NILE_CLASSIC:desktop-cl";
  static constexpr std::string_view DEFAULT_REF = "nl_cl_dsk_csq";
  // How long one question may take in the page, answer stream included: a stalled stream ends
  // the replay with the driver's TimeoutError instead of hanging.
  static constexpr long long QUESTION_TIMEOUT_MS = 120'000;

  explicit RufusReplayService(RufusParserService parser = {}) : parser(parser) {}

  RufusParserService parser;

  // The body for one question: the seed body's object (anything else reads as {}) with, in this
  // order, "queryContext" {"query", "actionType": "SEARCH", "qis": "NileCLTextInput"},
  // "pageContext" {"pageType", "targetPageType", "originPageType": "DETAIL_PAGE"}, with an ASIN
  // also "targetUrl"/"originUrl" (when origin_url is given) and the ASIN upserted into
  // "targetPageMetadata", "pageMetadata" and "originPageMetadata"; "bottomSheetContext"
  // {"previousTurnsBottomSheetSize": "expanded"}; "impressionsContext"
  // {"FIRST_TIME_USER_MESSAGE_SEEN_STATUS": "SEEN"}; and "historyThreadContext" replaced by
  // exactly {"threadId", "threadState"} (the seed's truthy state, else "THREAD_STATE_UNKNOWN").
  // Each context is kept when it is an object (its other members stay) and made fresh otherwise.
  // Members keep their place; new ones are appended. Throws RufusReplayError
  // "seed request body 不是合法 JSON" (the parse error as cause) when the body is not JSON.
  Json build_payload(const PayloadRequest& request) const;

  // The seed's URL with its query rebuilt as form data: fields decoded, a repeated name keeping
  // its first place and last value, "tabId" set to seed.tab_id when that is not empty,
  // "programId" and "ref" added when missing, then encoded again (see uri::encode_form). The
  // other components are kept as written; an empty fragment is dropped.
  std::string build_replay_url(const SeedRequestRecord& seed) const;

  // Sends nothing: without a page there is nowhere to replay from. Always empty.
  std::vector<AnswerData> replay(const SeedRequestRecord& seed,
                                 const std::vector<std::string>& questions) const;

  // Asks `questions` in order through `page`, which must stay open on an Amazon page of the
  // seed's marketplace. Each answer is the parser's reading of the response text, whatever its
  // status (read up to RufusParserService::MAX_RAW_BYTES, the rest of the stream cancelled); the
  // first question goes with "threadId" null, each later one with the last thread id an answer
  // reported. Headers, URL and (per question) body come from the seed, which is only read. Each
  // question may take QUESTION_TIMEOUT_MS. Errors end the replay at once, the answers so far are
  // lost: RufusReplayError for a seed body that is not JSON, the driver's errors (EvaluationError,
  // TimeoutError, ...) unchanged.
  std::vector<AnswerData> replay_with_page(browser::blocking::Page& page,
                                           const SeedRequestRecord& seed,
                                           const std::vector<std::string>& questions) const;

  // The allowlisted headers of `request_headers` with lower-case names, in their order (names
  // that differ only in case: the first one's place, the last one's value), plus "content-type":
  // "application/json" when the seed had none.
  static HeaderList _build_replay_headers(const HeaderList& request_headers);

  // Sets the "value" of the first {"type": "ASIN"} object in the array page_context[key] to
  // `asin`, or appends {"type": "ASIN", "value": asin}. A missing or non-array member becomes
  // a new array first.
  static void _upsert_asin_metadata(Json& page_context, const std::string& key,
                                    const std::string& asin);
};

}  // namespace vendro::amazon_rufus
