#include "vendro/mcp/exchange.hpp"

namespace vendro::mcp {

Exchange::Exchange(std::shared_ptr<Channel> channel, bool batch)
    : channel_(std::move(channel)), batch_(batch) {}

void Exchange::expect() {
  std::lock_guard lock(mutex_);
  ++outstanding_;
}

void Exchange::send(const Json& message) {
  std::lock_guard lock(mutex_);
  if (!closed_) channel_->send(message);
}

void Exchange::answer(std::optional<Json> response) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  --outstanding_;
  if (response) {
    if (batch_) {
      batch_answers_.push_back(std::move(*response));
    } else {
      channel_->send(*response);
    }
  }
  close_if_done();
}

void Exchange::seal() {
  std::lock_guard lock(mutex_);
  sealed_ = true;
  close_if_done();
}

void Exchange::close_if_done() {
  if (!sealed_ || outstanding_ > 0 || closed_) return;
  closed_ = true;
  // A batch of notifications only gets no answer at all, not an empty array.
  if (batch_ && !batch_answers_.empty()) channel_->send(batch_answers_);
  channel_->close();
}

}  // namespace vendro::mcp
