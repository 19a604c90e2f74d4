#pragma once
// Asking Rufus a list of questions about one product in one conversation: a seed request
// (captured now, or kept from an earlier capture), a headless product page signed in the same
// way, and the replay of every question from inside that page.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vendro/amazon_rufus/models.hpp"
#include "vendro/core/json.hpp"

namespace vendro::amazon_rufus {

struct AskOptions {
  std::string asin;
  std::string country;
  std::optional<std::string> cookie;  // a Cookie request header's value
  Json storage_state = nullptr;       // the driver's storage state object, or null
  std::vector<std::string> questions;
  std::optional<SeedRequestRecord> seed;  // captured first when absent
  std::optional<std::string> page_url;    // default: the seed's page, else the product page
  double timeout_seconds = 60;            // the capture's deadline, and the page's load limit
  std::function<void(const std::string&)> progress;  // one Chinese line per step, or nothing
};

struct AskedQuestion {
  std::string question;
  AnswerData answer;
};

// The answers in question order. Throws what the capture throws; InputError when a given seed
// belongs to another ASIN or marketplace; RufusReplayError when the product page cannot be
// opened (the driver's error as its cause) or the seed's body is not JSON. Nothing of the
// browser outlives the call.
std::vector<AskedQuestion> ask_rufus(const AskOptions& options);

// [{"question", "text", "thread_id"}] with thread_id null when an answer carried none.
Json asked_to_json(const std::vector<AskedQuestion>& asked);

}  // namespace vendro::amazon_rufus
