#include "vendro/seller_sprite/api_recorder.hpp"

#include <exception>

#include "vendro/core/files.hpp"

namespace vendro::seller_sprite {

asio::awaitable<void> SellerSpriteApiRecorder::capture_json_response(
    std::shared_ptr<browser::Response> response, std::string section, std::string url_keyword) {
  if (!response || response->url().find(url_keyword) == std::string::npos) co_return;
  if (response->is_redirect() || response->status() == 204 || response->status() == 304) {
    co_return;
  }
  // Taken before the body is awaited: arrival order, not the order bodies finish loading.
  const std::uint64_t arrival = ++next_arrival_;
  Json payload;
  try {
    payload = co_await response->json();
  } catch (const std::exception&) {
    co_return;  // no body, not JSON, or the page is gone: not an API answer we keep
  }
  Capture& kept = captures_[section];
  if (arrival < kept.arrival) co_return;
  kept = Capture{.arrival = arrival, .payload = std::move(payload)};
  kept_.notify_all();
}

asio::awaitable<bool> SellerSpriteApiRecorder::wait_for_payloads(std::vector<std::string> sections,
                                                                 browser::Deadline deadline) {
  auto all_kept = [this, &sections] {
    for (const std::string& section : sections) {
      if (!truthy(get_payload(section))) return false;
    }
    return true;
  };
  co_return co_await kept_.wait_until(all_kept, deadline);
}

Json SellerSpriteApiRecorder::get_payload(const std::string& section) const {
  auto it = captures_.find(section);
  return it == captures_.end() ? Json(nullptr) : it->second.payload;
}

Json SellerSpriteApiRecorder::save_all(const std::filesystem::path& dir) const {
  Json files = Json::object();
  if (captures_.empty()) return files;
  files::make_dirs(dir);
  const std::filesystem::path root = std::filesystem::absolute(dir);
  for (const auto& [section, capture] : captures_) {
    std::filesystem::path path = root / (section + ".json");
    files::write_atomic(path, to_pretty_json(capture.payload));
    files[section + "_payload"] = path.string();
  }
  return files;
}

}  // namespace vendro::seller_sprite
