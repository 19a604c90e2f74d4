#pragma once
// The records the Rufus capture and replay hand around: the captured seed request, kept in a file
// between a capture and later replays, and one parsed answer.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vendro/core/json.hpp"

namespace vendro::amazon_rufus {

// Header names as the browser reported them (any case), in their order.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The first request a product page sent to the Rufus streaming endpoint, as captured.
struct SeedRequestRecord {
  std::string request_url;  // full URL of the request; "" when the browser reported none
  HeaderList request_headers;
  std::string request_body;      // the post data as text; "{}" when it had none
  std::string page_url;          // the page's URL at capture time
  std::string tab_id;            // the Rufus tab id; may be ""
  std::string asin;              // trimmed, upper case
  std::string country;           // marketplace code, e.g. "US"
  std::int64_t captured_at = 0;  // milliseconds since the Unix epoch

  // {"request_url", "request_headers", "request_body", "page_url", "tab_id", "asin", "country",
  // "captured_at"} in this order; the headers as an object (a repeated name keeps its first
  // position and its last value).
  Json to_json() const;

  // The record to_json wrote. Members it does not know are ignored. Throws InputError (Chinese,
  // naming the member) for a value that is not an object, a missing member, a member of the wrong
  // type, a header value that is not text, or a capture time that is not a whole number.
  static SeedRequestRecord from_json(const Json& value);
};

// Writes `seed` to `file` as UTF-8 JSON (indent 2), atomically and readable by the owner only
// (mode 0600 from creation on: it holds the session's tokens). Creates missing parent
// directories. Throws FileError.
void save_seed(const SeedRequestRecord& seed, const std::filesystem::path& file);

// Reads a seed written by save_seed. A file above 1 MiB is refused. Throws FileError for the
// file, JsonError for its syntax, InputError naming the file and the member for its content.
SeedRequestRecord load_seed(const std::filesystem::path& file);

// One answer of Rufus, as parsed from the streamed response text.
struct AnswerData {
  std::string text;                      // the answer's text; "" when none was found
  std::optional<std::string> thread_id;  // the conversation thread, when the stream named one
  std::string raw;                       // the response text as received (bounded by the parser)

  // {"text", "thread_id" (null when absent), "raw"}.
  Json to_json() const;
};

}  // namespace vendro::amazon_rufus
