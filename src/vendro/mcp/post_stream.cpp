#include "vendro/mcp/post_stream.hpp"

#include "vendro/mcp/protocol.hpp"

namespace vendro::mcp {

std::string sse_event(std::string_view data) {
  std::string event = "event: message\ndata: ";
  event += data;
  event += "\n\n";
  return event;
}

void PostStream::send(const Json& message) {
  std::string text = to_compact_json(message);
  std::lock_guard lock(mutex_);
  if (aborted_ || closed_) return;
  if (queued_bytes_ + text.size() > MAX_QUEUED_BYTES) {
    aborted_ = true;
    queue_.clear();
  } else {
    if (!rpc::is_response(message)) only_answers_ = false;
    queued_bytes_ += text.size();
    queue_.push_back(std::move(text));
  }
  changed_.notify_all();
}

void PostStream::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

PostStream::Shape PostStream::settle(bool stream_at_once, std::chrono::milliseconds json_wait) {
  std::unique_lock lock(mutex_);
  if (stream_at_once) return Shape::Streaming;
  changed_.wait_for(lock, json_wait, [&] { return closed_ || aborted_ || !only_answers_; });
  return closed_ && only_answers_ && !aborted_ ? Shape::Answered : Shape::Streaming;
}

std::string PostStream::body() {
  std::lock_guard lock(mutex_);
  return queue_.empty() ? "" : queue_.front();
}

bool PostStream::take(std::string& out, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return !queue_.empty() || closed_ || aborted_; });
  if (aborted_) return false;
  while (!queue_.empty()) {
    out += sse_event(queue_.front());
    queued_bytes_ -= queue_.front().size();
    queue_.pop_front();
  }
  return !closed_;
}

void PostStream::abort() {
  std::lock_guard lock(mutex_);
  aborted_ = true;
  queue_.clear();
  queued_bytes_ = 0;
  changed_.notify_all();
}

}  // namespace vendro::mcp
