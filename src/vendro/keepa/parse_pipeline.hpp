#pragma once
// Runs the JSON parser on a thread of its own and hands its SAX events, in chunks, to a handler
// on the calling thread, so that parsing and writing the output overlap on two cores. The
// handler sees exactly the events, in exactly the order, that Json::sax_parse would give it.
// Internal to vendro::keepa.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/json.hpp"
#include "vendro/keepa/event_kind.hpp"
#include "vendro/keepa/parse_input.hpp"

namespace vendro::keepa::detail {

struct ParseEvent {
  EventKind kind;
  bool boolean = false;
  union {
    std::int64_t integer;
    std::uint64_t unsigned_integer;
    double floating;
    std::size_t length;  // string and key: of its text
  };
};

// A run of events: the first `size` of `events`, which has room for a whole chunk from the
// start, so that recording one is a plain store. The texts of its strings and keys follow each
// other in one buffer, in event order, so that recording one costs a copy, not an allocation.
struct EventChunk {
  std::vector<ParseEvent> events;
  std::size_t size = 0;
  std::string text;
};

// The hand-over between the parser thread and the caller: a bounded queue of filled chunks and
// a pool of empty ones. Thread-safe.
class EventQueue {
 public:
  static constexpr std::size_t CHUNK_EVENTS = 1 << 12;
  static constexpr std::size_t MAX_FILLED = 4;

  // Parser side. push() blocks while the queue is full; returns false once cancelled.
  std::unique_ptr<EventChunk> take_empty();
  bool push(std::unique_ptr<EventChunk> chunk);
  void finish(std::string error);  // empty `error`: the whole input parsed

  // Caller side. pop() blocks; returns null after the last chunk.
  std::unique_ptr<EventChunk> pop();
  void recycle(std::unique_ptr<EventChunk> chunk);
  void cancel();
  // After pop() returned null: the parser's error, empty when the input was valid.
  std::string error() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<EventChunk>> filled_;
  std::vector<std::unique_ptr<EventChunk>> empty_;
  bool finished_ = false;
  bool cancelled_ = false;
  std::string error_;
};

// Parses `input` on a new thread and calls `deliver(const EventChunk&)` on this thread for every
// chunk of events, in order. Returns the parser's error message, empty when `input` is valid
// JSON. If `deliver` throws, the parser is stopped and joined before the exception goes on.
template <typename Deliver>
std::string parse_in_background(const ParseInput& input, Deliver&& deliver);

// Feeds the events of `chunk` to a SAX handler.
template <typename Handler>
void replay(const EventChunk& chunk, Handler& handler) {
  static const std::string no_text;
  const std::string_view text = chunk.text;
  std::size_t text_at = 0;
  auto next_text = [&](const ParseEvent& event) {
    const std::string_view result = text.substr(text_at, event.length);
    text_at += event.length;
    return result;
  };
  for (std::size_t i = 0; i < chunk.size; ++i) {
    const ParseEvent& event = chunk.events[i];
    switch (event.kind) {
      case EventKind::null:
        handler.null();
        break;
      case EventKind::boolean:
        handler.boolean(event.boolean);
        break;
      case EventKind::integer:
        handler.number_integer(event.integer);
        break;
      case EventKind::unsigned_integer:
        handler.number_unsigned(event.unsigned_integer);
        break;
      case EventKind::floating:
        handler.number_float(event.floating, no_text);
        break;
      case EventKind::string:
        handler.string(next_text(event));
        break;
      case EventKind::key:
        handler.key(next_text(event));
        break;
      case EventKind::start_object:
        handler.start_object(0);
        break;
      case EventKind::end_object:
        handler.end_object();
        break;
      case EventKind::start_array:
        handler.start_array(0);
        break;
      case EventKind::end_array:
        handler.end_array();
        break;
    }
  }
}

// Runs Json::sax_parse over `input`, sending its events through `queue`; returns the error.
std::string parse_into(const ParseInput& input, EventQueue& queue);

}  // namespace vendro::keepa::detail

#include <thread>

namespace vendro::keepa::detail {

template <typename Deliver>
std::string parse_in_background(const ParseInput& input, Deliver&& deliver) {
  EventQueue queue;
  std::thread parser([&] { queue.finish(parse_into(input, queue)); });
  try {
    while (std::unique_ptr<EventChunk> chunk = queue.pop()) {
      deliver(*chunk);
      queue.recycle(std::move(chunk));
    }
  } catch (...) {
    queue.cancel();
    parser.join();
    throw;
  }
  parser.join();
  return queue.error();
}

}  // namespace vendro::keepa::detail
