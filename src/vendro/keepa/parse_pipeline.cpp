#include "vendro/keepa/parse_pipeline.hpp"

namespace vendro::keepa::detail {

namespace {

// Records the parser's events into chunks and queues every full one.
class RecordingHandler final {
 public:
  explicit RecordingHandler(EventQueue& queue) : queue_(queue), chunk_(queue.take_empty()) {}

  bool null() { return add({.kind = EventKind::null}); }
  bool boolean(bool value) { return add({.kind = EventKind::boolean, .boolean = value}); }
  bool number_integer(Json::number_integer_t value) {
    ParseEvent event{.kind = EventKind::integer};
    event.integer = value;
    return add(event);
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    ParseEvent event{.kind = EventKind::unsigned_integer};
    event.unsigned_integer = value;
    return add(event);
  }
  bool number_float(Json::number_float_t value, const std::string&) {
    ParseEvent event{.kind = EventKind::floating};
    event.floating = value;
    return add(event);
  }
  bool string(std::string& value) { return add_text(EventKind::string, value); }
  bool key(std::string& name) { return add_text(EventKind::key, name); }
  bool binary(Json::binary_t&) { return true; }  // never produced by the JSON parser
  bool start_object(std::size_t) { return add({.kind = EventKind::start_object}); }
  bool end_object() { return add({.kind = EventKind::end_object}); }
  bool start_array(std::size_t) { return add({.kind = EventKind::start_array}); }
  bool end_array() { return add({.kind = EventKind::end_array}); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    error_ = error.what();
    return false;
  }

  // Queues what is left; false when the reader has stopped listening.
  bool flush() {
    if (chunk_->size == 0) return true;
    const bool listening = queue_.push(std::move(chunk_));
    chunk_ = queue_.take_empty();
    return listening;
  }
  const std::string& error() const { return error_; }
  void set_error(std::string error) { error_ = std::move(error); }

 private:
  bool add(const ParseEvent& event) {
    chunk_->events[chunk_->size++] = event;
    return chunk_->size < EventQueue::CHUNK_EVENTS || flush();
  }
  bool add_text(EventKind kind, const std::string& text) {
    ParseEvent event{.kind = kind};
    event.length = text.size();
    chunk_->text += text;
    return add(event);
  }

  EventQueue& queue_;
  std::unique_ptr<EventChunk> chunk_;
  std::string error_;
};

}  // namespace

std::unique_ptr<EventChunk> EventQueue::take_empty() {
  std::lock_guard lock(mutex_);
  if (empty_.empty()) {
    auto chunk = std::make_unique<EventChunk>();
    chunk->events.resize(CHUNK_EVENTS, ParseEvent{.kind = EventKind::null});
    return chunk;
  }
  std::unique_ptr<EventChunk> chunk = std::move(empty_.back());
  empty_.pop_back();
  return chunk;
}

bool EventQueue::push(std::unique_ptr<EventChunk> chunk) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return filled_.size() < MAX_FILLED || cancelled_; });
  if (cancelled_) return false;
  filled_.push_back(std::move(chunk));
  changed_.notify_all();
  return true;
}

void EventQueue::finish(std::string error) {
  std::lock_guard lock(mutex_);
  finished_ = true;
  error_ = std::move(error);
  changed_.notify_all();
}

std::unique_ptr<EventChunk> EventQueue::pop() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !filled_.empty() || finished_; });
  if (filled_.empty()) return nullptr;
  std::unique_ptr<EventChunk> chunk = std::move(filled_.front());
  filled_.pop_front();
  changed_.notify_all();
  return chunk;
}

void EventQueue::recycle(std::unique_ptr<EventChunk> chunk) {
  chunk->size = 0;
  chunk->text.clear();
  std::lock_guard lock(mutex_);
  empty_.push_back(std::move(chunk));
}

void EventQueue::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  changed_.notify_all();
}

std::string EventQueue::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::string parse_into(const ParseInput& input, EventQueue& queue) {
  try {
    RecordingHandler handler(queue);
    const bool parsed = sax_parse(input, handler);
    if (!handler.flush()) return "cancelled";
    if (parsed) return {};
    return handler.error().empty() ? std::string("parse stopped") : handler.error();
  } catch (const std::exception& e) {
    // Nothing may escape a thread; the reader reports it like a parse failure.
    return e.what();
  }
}

}  // namespace vendro::keepa::detail
