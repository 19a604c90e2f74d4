#include "vendro/keepa/stream_convert.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vendro/core/json.hpp"
#include "vendro/keepa/pretty_writer.hpp"
#include "vendro/keepa/time_rules.hpp"

namespace vendro::keepa {

namespace {

using detail::append_indent;
using detail::append_string;

constexpr std::size_t FLUSH_AT = 1 << 20;
constexpr std::string_view CSV_KEY = "csv";
constexpr std::string_view CSV_ADDED_KEY = "csvUnixSeconds";

// A member of an object whose output is held back: its name, its value's text and the members
// it adds, each as (name, value text).
struct HeldMember {
  std::string key;
  std::string text;
  std::vector<std::pair<std::string, std::string>> added;
};

// One open array or object.
struct Frame {
  bool is_object = false;
  bool held = false;     // a recorded collision: members are assembled when it closes
  bool flagged = false;  // a name repeated in this pass
  std::size_t ordinal = 0;
  std::size_t count = 0;                  // members or elements begun
  std::string key;                        // the name of the member being read
  std::unordered_set<std::string> names;  // every name assigned so far, input and added
  std::vector<HeldMember> members;        // held objects only
  std::string* out_before = nullptr;      // where this container's text goes
};

// A raw copy of a "csv" array while it streams, built as Json's own tree builder would
// (a repeated name keeps its first position and takes the last value).
struct CsvCapture {
  Json root = Json::array();
  std::vector<Json*> open{&root};  // the open containers, innermost last
  std::string pending_key;

  void add(Json value) {
    Json* top = open.back();
    if (top->is_array()) {
      top->get_ref<Json::array_t&>().push_back(std::move(value));
    } else {
      (*top)[pending_key] = std::move(value);
    }
  }
  void start(Json empty) {
    Json* top = open.back();
    if (top->is_array()) {
      auto& array = top->get_ref<Json::array_t&>();
      array.push_back(std::move(empty));
      open.push_back(&array.back());
    } else {
      Json& slot = (*top)[pending_key];
      slot = std::move(empty);
      open.push_back(&slot);
    }
  }
  void end() { open.pop_back(); }
};

class ConvertHandler final {
 public:
  // `output` null: only check the input and record collisions. `held_ordinals`: sorted ordinals
  // of the objects whose members must be held back.
  ConvertHandler(ConvertOutput* output, std::vector<std::size_t> held_ordinals)
      : output_(output), held_ordinals_(std::move(held_ordinals)) {
    if (output_) main_.reserve(FLUSH_AT + (FLUSH_AT >> 2));
  }

  // The ordinals of the objects in which a name repeated.
  std::vector<std::size_t> take_collisions() { return std::move(collisions_); }
  const std::string& error() const { return error_; }

  void finish() {
    if (output_ && !main_.empty()) output_->write(main_);
    main_.clear();
  }

  // --- nlohmann SAX interface ---
  bool null() {
    begin_value();
    if (output_) *out_ += "null";
    feed([](CsvCapture& c) { c.add(nullptr); });
    end_scalar(std::nullopt);
    return true;
  }
  bool boolean(bool value) {
    begin_value();
    if (output_) *out_ += value ? "true" : "false";
    feed([&](CsvCapture& c) { c.add(value); });
    end_scalar(std::nullopt);
    return true;
  }
  bool number_integer(Json::number_integer_t value) {
    begin_value();
    if (output_) detail::append_integer(*out_, value);
    feed([&](CsvCapture& c) { c.add(value); });
    end_number(static_cast<double>(value));
    return true;
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    begin_value();
    if (output_) detail::append_unsigned(*out_, value);
    feed([&](CsvCapture& c) { c.add(value); });
    end_number(static_cast<double>(value));
    return true;
  }
  bool number_float(Json::number_float_t value, const std::string&) {
    begin_value();
    if (output_) detail::append_float(*out_, value);
    feed([&](CsvCapture& c) { c.add(value); });
    end_number(value);
    return true;
  }
  bool string(std::string& value) {
    begin_value();
    if (output_) append_string(*out_, value);
    std::optional<double> minutes;
    // The name is cheaper to rule out than the text, so it is asked first.
    if (in_object() && detail::is_time_key(top().key) && detail::is_keepa_minute_text(value)) {
      minutes = detail::parse_keepa_text(value);
    }
    feed([&](CsvCapture& c) { c.add(value); });
    end_scalar(minutes);
    return true;
  }
  bool binary(Json::binary_t&) { return true; }  // never produced by the JSON parser

  bool start_object(std::size_t) {
    begin_value();
    const std::size_t ordinal = next_ordinal_++;
    while (next_held_ < held_ordinals_.size() && held_ordinals_[next_held_] < ordinal) ++next_held_;
    const bool held = next_held_ < held_ordinals_.size() && held_ordinals_[next_held_] == ordinal;
    if (output_ && !held) *out_ += '{';
    feed([](CsvCapture& c) { c.start(Json::object()); });
    Frame& frame = push(true);
    frame.ordinal = ordinal;
    frame.held = held;
    return true;
  }

  bool key(std::string& name) {
    Frame& frame = top();
    feed([&](CsvCapture& c) { c.pending_key = name; });
    frame.key = name;
    note_name(frame, name);
    if (frame.held) {
      frame.members.push_back({.key = name});
      out_ = &frame.members.back().text;
    } else if (output_) {
      *out_ += frame.count == 0 ? "\n" : ",\n";
      append_indent(*out_, depth_);
      append_string(*out_, name);
      *out_ += ": ";
    }
    ++frame.count;
    return true;
  }

  bool end_object() {
    Frame& frame = top();
    if (frame.held) {
      out_ = frame.out_before;
      write_held_object(frame);
    } else {
      close_container(frame, '}');
    }
    feed([](CsvCapture& c) { c.end(); });
    pop();
    maybe_flush();
    return true;
  }

  bool start_array(std::size_t) {
    begin_value();
    if (output_) *out_ += '[';
    const bool csv_value = in_object() && top().key == CSV_KEY;
    feed([](CsvCapture& c) { c.start(Json::array()); });
    push(false);
    if (csv_value) {
      if (!capture_) capture_ = std::make_unique<CsvCapture>();
      csv_depths_.push_back(depth_);
    }
    return true;
  }

  bool end_array() {
    close_container(top(), ']');
    const bool csv_value = !csv_depths_.empty() && csv_depths_.back() == depth_;
    pop();
    if (csv_value) {
      csv_depths_.pop_back();
      // The raw "csv" array: the capture's root, or a node inside it for a nested one.
      const Json& csv = *capture_->open.back();
      if (detail::looks_like_csv(csv)) {
        add_member(top(), CSV_ADDED_KEY, [&](std::string& out) { append_csv_seconds(out, csv); });
      }
      if (csv_depths_.empty()) capture_.reset();
    }
    feed([](CsvCapture& c) { c.end(); });
    maybe_flush();
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    error_ = error.what();
    return false;
  }

 private:
  bool in_object() const { return depth_ > 0 && frames_[depth_ - 1]->is_object; }
  Frame& top() { return *frames_[depth_ - 1]; }

  Frame& push(bool is_object) {
    if (depth_ == frames_.size()) frames_.push_back(std::make_unique<Frame>());
    Frame& frame = *frames_[depth_++];
    frame.is_object = is_object;
    frame.held = frame.flagged = false;
    frame.count = 0;
    frame.key.clear();
    // A huge set would make every later clear() slow; start afresh instead.
    if (frame.names.bucket_count() > 1024) {
      frame.names = {};
    } else {
      frame.names.clear();
    }
    frame.members.clear();
    frame.out_before = out_;
    return frame;
  }
  void pop() {
    Frame& frame = top();
    if (frame.held) frame.members = {};  // held texts can be large; do not keep them around
    --depth_;
  }

  // Hands an event to the capture of the open "csv" arrays, if any.
  template <typename Fn>
  void feed(Fn&& fn) {
    if (capture_) fn(*capture_);
  }

  // Separator and indentation before an array element.
  void begin_value() {
    if (depth_ == 0) return;
    Frame& frame = top();
    if (frame.is_object) return;
    if (output_) {
      *out_ += frame.count == 0 ? "\n" : ",\n";
      append_indent(*out_, depth_);
    }
    ++frame.count;
  }

  void end_number(double value) {
    std::optional<double> minutes;
    if (in_object() && detail::is_keepa_minute(value) && detail::is_time_key(top().key)) {
      minutes = value;
    }
    end_scalar(minutes);
  }

  // After a scalar: the converted members of a time member, then a chance to flush.
  void end_scalar(std::optional<double> minutes) {
    if (minutes) {
      Frame& frame = top();
      const std::string& key = frame.key;
      const double m = *minutes;
      add_member(frame, key + "UnixSeconds", [m](std::string& out) {
        detail::append_integer(out, detail::unix_seconds_of_minutes(m));
      });
      add_member(frame, key + "UnixMilliseconds", [m](std::string& out) {
        detail::append_integer(out, detail::unix_milliseconds_of_minutes(m));
      });
      add_member(frame, key + "Utc",
                 [m](std::string& out) { append_string(out, detail::utc_iso_of_minutes(m)); });
    }
    maybe_flush();
  }

  void close_container(const Frame& frame, char close) {
    if (!output_) return;
    if (frame.count > 0) {
      *out_ += '\n';
      append_indent(*out_, depth_ - 1);
    }
    *out_ += close;
  }

  void note_name(Frame& frame, std::string_view name) {
    if (frame.names.emplace(name).second || frame.flagged) return;
    frame.flagged = true;
    collisions_.push_back(frame.ordinal);
  }

  // An added member after the current one of `frame`; `write_value` appends its value's text.
  template <typename WriteValue>
  void add_member(Frame& frame, std::string_view name, WriteValue&& write_value) {
    note_name(frame, name);
    if (frame.held) {
      auto& added = frame.members.back().added.emplace_back(std::string(name), std::string());
      write_value(added.second);
    } else if (output_) {
      *out_ += ",\n";
      append_indent(*out_, depth_);
      append_string(*out_, name);
      *out_ += ": ";
      write_value(*out_);
    }
  }

  // "csvUnixSeconds": every pair series of `csv` with its time positions converted, every other
  // element as it is. The value stands one level below the object at the top.
  void append_csv_seconds(std::string& out, const Json& csv) const {
    const std::size_t depth = depth_;
    out += '[';
    bool first = true;
    for (const Json& series : csv) {
      out += first ? "\n" : ",\n";
      first = false;
      append_indent(out, depth + 1);
      if (!detail::looks_like_pair_series(series)) {
        detail::append_value(out, series, depth + 1);
        continue;
      }
      out += '[';
      for (std::size_t i = 0; i < series.size(); ++i) {
        const Json& element = series[i];
        out += i == 0 ? "\n" : ",\n";
        append_indent(out, depth + 2);
        if (i % 2 == 0 && detail::is_keepa_minute_value(element)) {
          detail::append_integer(
              out, detail::unix_seconds_of_minutes(detail::parse_keepa_time(element)));
        } else {
          detail::append_value(out, element, depth + 2);
        }
      }
      out += '\n';
      append_indent(out, depth + 1);
      out += ']';
    }
    out += '\n';
    append_indent(out, depth);
    out += ']';
  }

  // A held object in tree order: a repeated input name keeps its first position and takes its
  // last member; then every assignment, input or added, does the same.
  void write_held_object(Frame& frame) {
    std::unordered_map<std::string_view, std::size_t> input_slot;
    std::vector<const HeldMember*> input_members;
    for (const HeldMember& member : frame.members) {
      auto [it, inserted] = input_slot.emplace(member.key, input_members.size());
      if (inserted) {
        input_members.push_back(&member);
      } else {
        input_members[it->second] = &member;
      }
    }
    std::unordered_map<std::string_view, std::size_t> output_slot;
    std::vector<std::pair<std::string_view, const std::string*>> output_members;
    auto assign = [&](std::string_view name, const std::string& text) {
      auto [it, inserted] = output_slot.emplace(name, output_members.size());
      if (inserted) {
        output_members.emplace_back(name, &text);
      } else {
        output_members[it->second].second = &text;
      }
    };
    for (const HeldMember* member : input_members) {
      assign(member->key, member->text);
      for (const auto& [name, text] : member->added) assign(name, text);
    }
    if (!output_) return;
    std::string& out = *out_;
    if (output_members.empty()) {
      out += "{}";
      return;
    }
    out += '{';
    bool first = true;
    for (const auto& [name, text] : output_members) {
      out += first ? "\n" : ",\n";
      first = false;
      append_indent(out, depth_);
      append_string(out, name);
      out += ": ";
      out += *text;
    }
    out += '\n';
    append_indent(out, depth_ - 1);
    out += '}';
  }

  void maybe_flush() {
    if (output_ && out_ == &main_ && main_.size() >= FLUSH_AT) {
      output_->write(main_);
      main_.clear();
    }
  }

  ConvertOutput* output_;
  std::vector<std::size_t> held_ordinals_;
  std::size_t next_held_ = 0;
  std::size_t next_ordinal_ = 0;
  std::vector<std::size_t> collisions_;
  std::vector<std::unique_ptr<Frame>> frames_;
  std::size_t depth_ = 0;
  // One raw tree for the outermost open "csv" array; nested ones are nodes inside it.
  std::unique_ptr<CsvCapture> capture_;
  std::vector<std::size_t> csv_depths_;  // frame depths of the open "csv" arrays
  std::string main_;
  std::string* out_ = &main_;
  std::string error_;
};

// One pass over `input`; returns the ordinals of the objects with a repeated name.
std::vector<std::size_t> run_pass(std::string_view input, ConvertOutput* output,
                                  std::vector<std::size_t> held_ordinals) {
  ConvertHandler handler(output, std::move(held_ordinals));
  if (!Json::sax_parse(input.data(), input.data() + input.size(), &handler)) {
    throw KeepaJsonError("Keepa 数据不是有效的 JSON：" + handler.error());
  }
  handler.finish();
  std::vector<std::size_t> collisions = handler.take_collisions();
  std::sort(collisions.begin(), collisions.end());
  return collisions;
}

}  // namespace

void convert_stream(std::string_view input, ConvertOutput& output) {
  std::vector<std::size_t> collisions;
  try {
    if (output.can_rewind()) {
      collisions = run_pass(input, &output, {});
      if (collisions.empty()) return;
      output.rewind();
    } else {
      collisions = run_pass(input, nullptr, {});
    }
    run_pass(input, &output, std::move(collisions));
  } catch (...) {
    if (output.can_rewind()) output.rewind();
    throw;
  }
}

std::string convert_to_string(std::string_view input) {
  std::string result;
  StringOutput output(result);
  convert_stream(input, output);
  return result;
}

}  // namespace vendro::keepa
