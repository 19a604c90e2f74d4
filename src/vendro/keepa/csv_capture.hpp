#pragma once
// A raw copy of a "csv" member's array while it streams, from which "csvUnixSeconds" is written
// once the array closes. Kept as a flat list of tokens rather than a Json tree: price histories
// hold millions of numbers, and a token is cheap to add and needs no destruction. A "csv" array
// nested inside another is a range of the same tokens. Internal to vendro::keepa.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/json.hpp"
#include "vendro/keepa/event_kind.hpp"
#include "vendro/keepa/pretty_writer.hpp"

namespace vendro::keepa::detail {

class CsvCapture {
 public:
  // Forgets every token; the memory is kept for the next array.
  void clear();

  // The parser's events, in document order.
  void null();
  void boolean(bool value);
  void integer(std::int64_t value);
  void unsigned_integer(std::uint64_t value);
  void floating(double value);
  void string(std::string_view value);
  void key(std::string_view name);
  // Return the index of the container's token.
  std::size_t start_array();
  std::size_t start_object();
  void end();

  // True when the closed array at token `index` holds an element that looks like a pair series.
  bool looks_like_csv(std::size_t index) const;

  // The value of "csvUnixSeconds" for the closed array at token `index`, standing at `depth`.
  void append_seconds(TextBuffer& out, std::size_t index, std::size_t depth) const;

 private:
  using Kind = EventKind;
  struct Token {
    Kind kind;
    bool flag = false;           // boolean: its value; container: an object inside or itself
    std::uint32_t children = 0;  // container: direct elements
    std::size_t end = 0;         // container: index of its end token
    union {
      std::int64_t integer;
      std::uint64_t unsigned_integer;
      double floating;
      std::size_t text;  // string and key: index into texts_
    };
  };

  void add(Token token);
  std::size_t start(Kind kind);
  std::size_t next(std::size_t index) const;
  bool is_minute(std::size_t index) const;
  double minutes(std::size_t index) const;
  bool looks_like_pair_series(std::size_t index) const;
  void append_scalar(TextBuffer& out, std::size_t index) const;
  // The value at `index` unchanged, standing at `depth`.
  void append_raw(TextBuffer& out, std::size_t index, std::size_t depth) const;
  // The value at `index` as a tree (objects keep a repeated name's first position, last value).
  Json to_json(std::size_t index) const;

  std::vector<Token> tokens_;
  std::vector<std::string> texts_;
  std::vector<std::size_t> open_;  // indices of the open containers' tokens
};

}  // namespace vendro::keepa::detail
