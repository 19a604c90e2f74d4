#pragma once
// The kinds of SAX event the streaming converter records: by the parser thread for the writer
// (parse_pipeline.hpp), and while a "csv" array streams (csv_capture.hpp). Internal to
// vendro::keepa.

#include <cstdint>

namespace vendro::keepa::detail {

enum class EventKind : std::uint8_t {
  null,
  boolean,
  integer,
  unsigned_integer,
  floating,
  string,
  key,
  start_object,
  end_object,
  start_array,
  end_array
};

inline bool is_container_start(EventKind kind) {
  return kind == EventKind::start_object || kind == EventKind::start_array;
}
inline bool is_container_end(EventKind kind) {
  return kind == EventKind::end_object || kind == EventKind::end_array;
}

}  // namespace vendro::keepa::detail
