#pragma once
// Keeps, per section, the JSON payload of the API answers a page receives. A collection makes one
// recorder, hands it every response of its page with the section it may belong to, and saves what
// was kept below the run directory. Used on one io_context; not thread-safe.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vendro/browser/network.hpp"
#include "vendro/browser/notifier.hpp"
#include "vendro/core/json.hpp"

namespace vendro::seller_sprite {

class SellerSpriteApiRecorder {
 public:
  // Keeps the JSON body of `response` for `section` when its URL contains `url_keyword`.
  // Everything else is ignored without failing: other URLs, redirects, answers without a body
  // or whose body is not JSON, a page that closed meanwhile. When a section gets several answers,
  // the one that arrived last wins (the page asks again after each change of its settings), even
  // when an earlier body finishes loading later.
  asio::awaitable<void> capture_json_response(std::shared_ptr<browser::Response> response,
                                              std::string section, std::string url_keyword);

  // The payload kept for `section`, or null when none was.
  Json get_payload(const std::string& section) const;

  // Suspends until every one of `sections` holds a truthy payload (true) or `deadline` passes
  // (false). Wakes as each answer is kept, not on a polling interval.
  asio::awaitable<bool> wait_for_payloads(std::vector<std::string> sections,
                                          browser::Deadline deadline);

  // Writes each kept payload to DIR/<section>.json (UTF-8, non-ASCII unescaped), creating DIR,
  // and returns the files map: "<section>_payload" → absolute path. Nothing kept, nothing
  // written. Throws FileError.
  Json save_all(const std::filesystem::path& dir) const;

 private:
  struct Capture {
    std::uint64_t arrival = 0;
    Json payload;
  };
  std::uint64_t next_arrival_ = 0;
  std::map<std::string, Capture> captures_;
  browser::Notifier kept_;
};

}  // namespace vendro::seller_sprite
