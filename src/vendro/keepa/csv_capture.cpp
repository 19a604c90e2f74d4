#include "vendro/keepa/csv_capture.hpp"

#include "vendro/keepa/time_rules.hpp"

namespace vendro::keepa::detail {

void CsvCapture::clear() {
  tokens_.clear();
  texts_.clear();
  open_.clear();
}

void CsvCapture::add(Token token) {
  if (!open_.empty() && token.kind != Kind::key) ++tokens_[open_.back()].children;
  tokens_.push_back(token);
}

void CsvCapture::null() {
  add({.kind = Kind::null});
}
void CsvCapture::boolean(bool value) {
  add({.kind = Kind::boolean, .flag = value});
}
void CsvCapture::integer(std::int64_t value) {
  Token token{.kind = Kind::integer};
  token.integer = value;
  add(token);
}
void CsvCapture::unsigned_integer(std::uint64_t value) {
  Token token{.kind = Kind::unsigned_integer};
  token.unsigned_integer = value;
  add(token);
}
void CsvCapture::floating(double value) {
  Token token{.kind = Kind::floating};
  token.floating = value;
  add(token);
}
void CsvCapture::string(std::string_view value) {
  Token token{.kind = Kind::string};
  token.text = texts_.size();
  texts_.emplace_back(value);
  add(token);
}
void CsvCapture::key(std::string_view name) {
  Token token{.kind = Kind::key};
  token.text = texts_.size();
  texts_.emplace_back(name);
  add(token);
}

std::size_t CsvCapture::start(Kind kind) {
  add({.kind = kind, .flag = kind == Kind::start_object});
  open_.push_back(tokens_.size() - 1);
  return tokens_.size() - 1;
}
std::size_t CsvCapture::start_array() {
  return start(Kind::start_array);
}
std::size_t CsvCapture::start_object() {
  return start(Kind::start_object);
}

void CsvCapture::end() {
  const std::size_t index = open_.back();
  open_.pop_back();
  tokens_[index].end = tokens_.size();
  tokens_.push_back(
      {.kind = tokens_[index].kind == Kind::start_object ? Kind::end_object : Kind::end_array});
  if (!open_.empty() && tokens_[index].flag) tokens_[open_.back()].flag = true;
}

std::size_t CsvCapture::next(std::size_t index) const {
  const Token& token = tokens_[index];
  return is_container_start(token.kind) ? token.end + 1 : index + 1;
}

double CsvCapture::minutes(std::size_t index) const {
  const Token& token = tokens_[index];
  switch (token.kind) {
    case Kind::integer:
      return static_cast<double>(token.integer);
    case Kind::unsigned_integer:
      return static_cast<double>(token.unsigned_integer);
    case Kind::floating:
      return token.floating;
    default:
      return parse_keepa_text(texts_[token.text]);
  }
}

bool CsvCapture::is_minute(std::size_t index) const {
  switch (tokens_[index].kind) {
    case Kind::integer:
    case Kind::unsigned_integer:
    case Kind::floating:
      return is_keepa_minute(minutes(index));
    case Kind::string:
      return is_keepa_minute_text(texts_[tokens_[index].text]);
    default:
      return false;
  }
}

bool CsvCapture::looks_like_pair_series(std::size_t index) const {
  const Token& token = tokens_[index];
  // The first element of an array is the token right after it.
  return token.kind == Kind::start_array && token.children >= 2 && token.children % 2 == 0 &&
         is_minute(index + 1);
}

bool CsvCapture::looks_like_csv(std::size_t index) const {
  for (std::size_t i = index + 1; !is_container_end(tokens_[i].kind); i = next(i)) {
    if (looks_like_pair_series(i)) return true;
  }
  return false;
}

void CsvCapture::append_seconds(TextBuffer& out, std::size_t index, std::size_t depth) const {
  out.append('[');
  bool first = true;
  for (std::size_t i = index + 1; !is_container_end(tokens_[i].kind); i = next(i)) {
    append_line(out, first, depth + 1);
    first = false;
    if (!looks_like_pair_series(i)) {
      append_raw(out, i, depth + 1);
      continue;
    }
    out.append('[');
    std::size_t position = 0;
    for (std::size_t j = i + 1; !is_container_end(tokens_[j].kind); j = next(j), ++position) {
      append_line(out, position == 0, depth + 2);
      if (position % 2 == 0 && is_minute(j)) {
        append_integer(out, unix_seconds_of_minutes(minutes(j)));
      } else {
        append_raw(out, j, depth + 2);
      }
    }
    append_line(out, true, depth + 1);
    out.append(']');
  }
  append_line(out, true, depth);
  out.append(']');
}

void CsvCapture::append_scalar(TextBuffer& out, std::size_t index) const {
  const Token& token = tokens_[index];
  switch (token.kind) {
    case Kind::null:
      out.append("null");
      break;
    case Kind::boolean:
      out.append(token.flag ? "true" : "false");
      break;
    case Kind::integer:
      append_integer(out, token.integer);
      break;
    case Kind::unsigned_integer:
      append_unsigned(out, token.unsigned_integer);
      break;
    case Kind::floating:
      append_float(out, token.floating);
      break;
    default:
      append_string(out, texts_[token.text]);
  }
}

void CsvCapture::append_raw(TextBuffer& out, std::size_t index, std::size_t depth) const {
  const Token& top = tokens_[index];
  if (!is_container_start(top.kind)) {
    append_scalar(out, index);
    return;
  }
  // Objects may repeat a name, which only the tree resolves; they are rare in price histories.
  if (top.flag) {
    append_value(out, to_json(index), depth);
    return;
  }
  if (top.children == 0) {
    out.append("[]");
    return;
  }
  out.append('[');
  std::vector<bool> first{true};  // per open array: no element written yet
  for (std::size_t i = index + 1; !first.empty(); ++i) {
    const Token& token = tokens_[i];
    if (is_container_end(token.kind)) {
      first.pop_back();
      append_line(out, true, depth + first.size());
      out.append(']');
      continue;
    }
    append_line(out, first.back(), depth + first.size());
    first.back() = false;
    if (token.kind != Kind::start_array) {
      append_scalar(out, i);
    } else if (token.children == 0) {
      out.append("[]");
      i = token.end;
    } else {
      out.append('[');
      first.push_back(true);
    }
  }
}

Json CsvCapture::to_json(std::size_t index) const {
  Json root;
  std::vector<Json*> open;
  std::string_view pending_key;
  const std::size_t last = next(index);
  for (std::size_t i = index; i < last; ++i) {
    const Token& token = tokens_[i];
    Json value;
    switch (token.kind) {
      case Kind::key:
        pending_key = texts_[token.text];
        continue;
      case Kind::end_object:
      case Kind::end_array:
        open.pop_back();
        continue;
      case Kind::null:
        break;
      case Kind::boolean:
        value = token.flag;
        break;
      case Kind::integer:
        value = token.integer;
        break;
      case Kind::unsigned_integer:
        value = token.unsigned_integer;
        break;
      case Kind::floating:
        value = token.floating;
        break;
      case Kind::string:
        value = texts_[token.text];
        break;
      case Kind::start_array:
        value = Json::array();
        break;
      case Kind::start_object:
        value = Json::object();
        break;
    }
    Json* slot = &root;
    if (!open.empty()) {
      Json& parent = *open.back();
      if (parent.is_array()) {
        parent.push_back(std::move(value));
        slot = &parent.back();
      } else {
        slot = &parent[std::string(pending_key)];
        *slot = std::move(value);
      }
    } else {
      root = std::move(value);
    }
    if (is_container_start(token.kind)) open.push_back(slot);
  }
  return root;
}

}  // namespace vendro::keepa::detail
