#include "vendro/amazon_rufus/parser.hpp"

#include <array>

#include "vendro/core/text.hpp"

namespace vendro::amazon_rufus {

namespace {

constexpr std::array<const char*, 4> TEXT_KEYS = {"text", "content", "delta", "answer"};

struct Reading {
  std::string text;
  std::optional<std::string> thread_id;

  void add_piece(const std::string& piece) {
    if (!text.empty() && piece.starts_with(text)) {
      text = piece;  // a snapshot of the whole answer so far
    } else {
      text += piece;
    }
  }

  // Looks at `value`, found `depth` levels down (the line's value is level 1). Below an object
  // that gave a piece only thread ids are looked for.
  void walk(const Json& value, int depth, bool want_text) {
    if (depth > RufusParserService::MAX_WALK_DEPTH) return;
    if (value.is_object()) {
      if (auto id = value.find("threadId"); id != value.end() && id->is_string()) {
        if (!id->get_ref<const std::string&>().empty()) thread_id = id->get<std::string>();
      }
      if (want_text) {
        for (const char* key : TEXT_KEYS) {
          if (auto piece = value.find(key); piece != value.end() && piece->is_string()) {
            add_piece(piece->get_ref<const std::string&>());
            want_text = false;
            break;
          }
        }
      }
    } else if (!value.is_array()) {
      return;
    }
    for (const auto& child : value) {
      if (child.is_structured()) walk(child, depth + 1, want_text);
    }
  }

  void read_line(std::string_view line) {
    std::string trimmed = text::strip(line);
    std::string_view payload = trimmed;
    if (payload.starts_with("data:")) {
      payload.remove_prefix(5);
      while (payload.starts_with(' ')) payload.remove_prefix(1);
    }
    // Event names, ids, comments, "[DONE]", HTML and plain text never start a JSON container.
    if (!payload.starts_with('{') && !payload.starts_with('[')) return;
    Json value;
    try {
      value = try_parse_json(payload, "Rufus 回答");
    } catch (const JsonError&) {
      return;  // nested too deep or a number out of range: skipped like text that is not JSON
    }
    if (!value.is_discarded()) walk(value, 1, true);
  }
};

}  // namespace

AnswerData RufusParserService::parse(std::string_view raw) const {
  if (raw.size() > MAX_RAW_BYTES) raw = raw.substr(0, MAX_RAW_BYTES);
  std::string_view rest = raw;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  Reading reading;
  while (!rest.empty()) {
    auto end = rest.find_first_of("\r\n");
    reading.read_line(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return {.text = std::move(reading.text),
          .thread_id = std::move(reading.thread_id),
          .raw = std::string(raw)};
}

}  // namespace vendro::amazon_rufus
