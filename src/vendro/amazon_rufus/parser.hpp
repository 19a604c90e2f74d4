#pragma once
// Turns the streamed text of one Rufus answer into an AnswerData. The stream's format is not
// documented, so the parser accepts what such streams are usually made of and skips the rest.
//
// Framings accepted, line by line ("\n", "\r\n" or "\r" end a line; white space around a line is
// ignored; a leading byte-order mark is dropped):
//   - newline-delimited JSON: a line that is one JSON value;
//   - server-sent events: "data: <JSON>" (the blank after "data:" optional); "event:", "id:" and
//     "retry:" lines, comment lines starting with ":" and "data: [DONE]" are ignored.
// A line that is not one whole JSON value is skipped: HTML, plain text, a value split over
// several lines, two values on one line.
//
// From each JSON value the parser walks objects and arrays down to MAX_WALK_DEPTH levels:
//   - text: an object with a string member named "text", "content", "delta" or "answer" (the
//     first of these it has) gives that string as one piece, and the walk does not enter that
//     object further (its other members are metadata of the same piece). Objects without such a
//     member are entered.
//   - thread id: every string member "threadId" that is not empty, at any level walked; the last
//     one in the stream wins.
// Pieces are joined in stream order: each piece is appended, except that a piece starting with
// all the text so far is a snapshot of the whole answer and replaces it (so streams that resend
// the full text do not double it). An answer without pieces has empty text; an error page gives
// an answer with empty text, never an error.
//
// Bounds: only the first MAX_RAW_BYTES of the text are read, and AnswerData::raw holds those;
// JSON deeper than parse_json's cap is skipped like any other line that is not JSON.
// Stateless and safe to use from several threads.

#include <cstddef>
#include <string_view>

#include "vendro/amazon_rufus/models.hpp"

namespace vendro::amazon_rufus {

class RufusParserService {
 public:
  static constexpr std::size_t MAX_RAW_BYTES = 16 << 20;
  static constexpr int MAX_WALK_DEPTH = 8;

  // The answer in `raw`. Never throws for bad content.
  AnswerData parse(std::string_view raw) const;
};

}  // namespace vendro::amazon_rufus
