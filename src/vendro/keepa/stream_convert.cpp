#include "vendro/keepa/stream_convert.hpp"

#include <algorithm>
#include <list>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vendro/core/json.hpp"
#include "vendro/keepa/csv_capture.hpp"
#include "vendro/keepa/parse_pipeline.hpp"
#include "vendro/keepa/pretty_writer.hpp"
#include "vendro/keepa/time_rules.hpp"

namespace vendro::keepa {

namespace {

using detail::append_line;
using detail::append_string;
using detail::TextBuffer;

constexpr std::size_t FLUSH_AT = 1 << 20;
// Below this input size a second thread costs more than it saves.
constexpr std::size_t BACKGROUND_PARSE_FROM = 256 << 10;
constexpr std::string_view CSV_KEY = "csv";
constexpr std::string_view CSV_ADDED_KEY = "csvUnixSeconds";

// The text of a held member as pieces in order. A held object that closes inside it moves its
// members' pieces in rather than copying them, so text held at many levels at once is still
// written once: time stays linear in the output whatever the nesting.
using HeldText = std::list<TextBuffer>;

// A member of an object whose output is held back: its name, its value's text and the members
// it adds, each as (name, value text).
struct HeldMember {
  std::string key;
  HeldText text;
  std::vector<std::pair<std::string, TextBuffer>> added;
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
  HeldText* sink_before = nullptr;        // where this container's text goes; null: the output
};

class ConvertHandler final {
 public:
  // `output` null: only check the input and record collisions. `held_ordinals`: sorted ordinals
  // of the objects whose members must be held back. `stop`: see convert_stream.
  ConvertHandler(ConvertOutput* output, std::vector<std::size_t> held_ordinals,
                 const StopFlag* stop)
      : output_(output), held_ordinals_(std::move(held_ordinals)), stop_(stop) {}

  // The ordinals of the objects in which a name repeated.
  std::vector<std::size_t> take_collisions() { return std::move(collisions_); }
  const std::string& error() const { return error_; }
  void set_error(std::string error) { error_ = std::move(error); }

  void finish() {
    if (output_ && !main_.empty()) output_->write(main_.view());
    main_.clear();
  }

  // --- nlohmann SAX interface ---
  bool null() {
    begin_value();
    if (output_) out_->append("null");
    if (capturing()) capture_.null();
    end_scalar(std::nullopt);
    return true;
  }
  bool boolean(bool value) {
    begin_value();
    if (output_) out_->append(value ? "true" : "false");
    if (capturing()) capture_.boolean(value);
    end_scalar(std::nullopt);
    return true;
  }
  bool number_integer(Json::number_integer_t value) {
    begin_value();
    if (output_) detail::append_integer(*out_, value);
    if (capturing()) capture_.integer(value);
    end_number(static_cast<double>(value));
    return true;
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    begin_value();
    if (output_) detail::append_unsigned(*out_, value);
    if (capturing()) capture_.unsigned_integer(value);
    end_number(static_cast<double>(value));
    return true;
  }
  bool number_float(Json::number_float_t value, const std::string&) {
    begin_value();
    if (output_) detail::append_float(*out_, value);
    if (capturing()) capture_.floating(value);
    end_number(value);
    return true;
  }
  bool string(std::string_view value) {
    begin_value();
    if (output_) append_string(*out_, value);
    std::optional<double> minutes;
    // The name is cheaper to rule out than the text, so it is asked first.
    if (in_object() && detail::is_time_key(top().key) && detail::is_keepa_minute_text(value)) {
      minutes = detail::parse_keepa_text(value);
    }
    if (capturing()) capture_.string(value);
    end_scalar(minutes);
    return true;
  }
  bool binary(Json::binary_t&) { return true; }  // never produced by the JSON parser

  bool start_object(std::size_t) {
    begin_value();
    const std::size_t ordinal = next_ordinal_++;
    while (next_held_ < held_ordinals_.size() && held_ordinals_[next_held_] < ordinal) ++next_held_;
    const bool held = next_held_ < held_ordinals_.size() && held_ordinals_[next_held_] == ordinal;
    if (output_ && !held) out_->append('{');
    if (capturing()) capture_.start_object();
    Frame& frame = push(true);
    frame.ordinal = ordinal;
    frame.held = held;
    maybe_flush();
    return true;
  }

  bool key(std::string_view name) {
    Frame& frame = top();
    if (capturing()) capture_.key(name);
    frame.key = name;
    note_name(frame, name);
    if (frame.held) {
      HeldMember& member = frame.members.emplace_back(HeldMember{.key = std::string(name)});
      sink_ = &member.text;
      out_ = &sink_->emplace_back();
    } else if (output_) {
      append_line(*out_, frame.count == 0, depth_);
      append_string(*out_, name);
      out_->append(": ");
    }
    ++frame.count;
    return true;
  }

  bool end_object() {
    Frame& frame = top();
    if (frame.held) {
      sink_ = frame.sink_before;
      out_ = sink_ ? &sink_->back() : &main_;
      write_held_object(frame);
      out_ = sink_ ? &sink_->back() : &main_;
    } else {
      close_container(frame, '}');
    }
    if (capturing()) capture_.end();
    pop();
    maybe_flush();
    return true;
  }

  bool start_array(std::size_t) {
    begin_value();
    if (output_) out_->append('[');
    const bool csv_value = in_object() && top().key == CSV_KEY;
    if (csv_value && !capturing()) capture_.clear();
    std::size_t token = 0;
    if (csv_value || capturing()) token = capture_.start_array();
    push(false);
    if (csv_value) open_csv_.push_back({.depth = depth_, .token = token});
    maybe_flush();
    return true;
  }

  bool end_array() {
    close_container(top(), ']');
    if (capturing()) capture_.end();
    const bool csv_value = capturing() && open_csv_.back().depth == depth_;
    pop();
    if (csv_value) {
      const std::size_t token = open_csv_.back().token;
      open_csv_.pop_back();
      if (capture_.looks_like_csv(token)) {
        add_member(top(), CSV_ADDED_KEY,
                   [&](TextBuffer& out) { capture_.append_seconds(out, token, depth_); });
      }
    }
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
    if (depth_ == MAX_NESTING_DEPTH) {
      throw KeepaTooDeepError("Keepa 数据的数组和对象嵌套超过 " +
                              std::to_string(MAX_NESTING_DEPTH) + " 层，无法转换");
    }
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
    frame.sink_before = sink_;
    return frame;
  }
  void pop() {
    Frame& frame = top();
    if (frame.held) frame.members = {};  // held texts can be large; do not keep them around
    --depth_;
  }

  bool capturing() const { return !open_csv_.empty(); }

  // Separator and indentation before an array element.
  void begin_value() {
    if (depth_ == 0) return;
    Frame& frame = top();
    if (frame.is_object) return;
    if (output_) append_line(*out_, frame.count == 0, depth_);
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
      add_member(frame, key + "UnixSeconds", [m](TextBuffer& out) {
        detail::append_integer(out, detail::unix_seconds_of_minutes(m));
      });
      add_member(frame, key + "UnixMilliseconds", [m](TextBuffer& out) {
        detail::append_integer(out, detail::unix_milliseconds_of_minutes(m));
      });
      add_member(frame, key + "Utc",
                 [m](TextBuffer& out) { append_string(out, detail::utc_iso_of_minutes(m)); });
    }
    maybe_flush();
  }

  void close_container(const Frame& frame, char close) {
    if (!output_) return;
    if (frame.count > 0) append_line(*out_, true, depth_ - 1);
    out_->append(close);
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
      auto& added = frame.members.back().added.emplace_back(std::string(name), TextBuffer());
      write_value(added.second);
    } else if (output_) {
      append_line(*out_, false, depth_);
      append_string(*out_, name);
      out_->append(": ");
      write_value(*out_);
    }
  }

  // A held object in tree order: a repeated input name keeps its first position and takes its
  // last member; then every assignment, input or added, does the same. Its text goes to sink_.
  void write_held_object(Frame& frame) {
    std::unordered_map<std::string_view, std::size_t> input_slot;
    std::vector<HeldMember*> input_members;
    for (HeldMember& member : frame.members) {
      auto [it, inserted] = input_slot.emplace(member.key, input_members.size());
      if (inserted) {
        input_members.push_back(&member);
      } else {
        input_members[it->second] = &member;
      }
    }
    // Each value is an input member's text or an added member's.
    struct Value {
      HeldText* held = nullptr;
      const TextBuffer* added = nullptr;
    };
    std::unordered_map<std::string_view, std::size_t> output_slot;
    std::vector<std::pair<std::string_view, Value>> output_members;
    auto assign = [&](std::string_view name, Value value) {
      auto [it, inserted] = output_slot.emplace(name, output_members.size());
      if (inserted) {
        output_members.emplace_back(name, value);
      } else {
        output_members[it->second].second = value;
      }
    };
    for (HeldMember* member : input_members) {
      assign(member->key, {.held = &member->text});
      for (const auto& [name, text] : member->added) assign(name, {.added = &text});
    }
    if (!output_) return;
    if (output_members.empty()) {
      out_->append("{}");
      return;
    }
    out_->append('{');
    bool first = true;
    for (const auto& [name, value] : output_members) {
      append_line(*out_, first, depth_);
      first = false;
      append_string(*out_, name);
      out_->append(": ");
      if (value.added) {
        out_->append(value.added->view());
      } else if (sink_) {
        sink_->splice(sink_->end(), *value.held);
        out_ = &sink_->emplace_back();
      } else {
        for (const TextBuffer& piece : *value.held) {
          main_.append(piece.view());
          flush_if_full();
        }
      }
    }
    append_line(*out_, true, depth_ - 1);
    out_->append('}');
  }

  // Between events: stop when asked to, and write out the buffer once it is full.
  void maybe_flush() {
    if (stop_ && stop_->load(std::memory_order_relaxed) != 0) {
      throw KeepaInterrupted("Keepa 数据转换被信号中断");
    }
    if (out_ == &main_) flush_if_full();
  }
  void flush_if_full() {
    if (output_ && main_.size() >= FLUSH_AT) {
      output_->write(main_.view());
      main_.clear();
    }
  }

  ConvertOutput* output_;
  std::vector<std::size_t> held_ordinals_;
  const StopFlag* stop_;
  std::size_t next_held_ = 0;
  std::size_t next_ordinal_ = 0;
  std::vector<std::size_t> collisions_;
  std::vector<std::unique_ptr<Frame>> frames_;
  std::size_t depth_ = 0;
  // The tokens of the outermost open "csv" array; nested ones are ranges inside it.
  detail::CsvCapture capture_;
  struct OpenCsv {
    std::size_t depth;  // of its frame
    std::size_t token;  // of its first token in capture_
  };
  std::vector<OpenCsv> open_csv_;
  TextBuffer main_;
  // Where text goes now: main_, or the last piece of sink_, the held member being read.
  TextBuffer* out_ = &main_;
  HeldText* sink_ = nullptr;
  std::string error_;
};

// One pass over `input`; returns the ordinals of the objects with a repeated name. A pass that
// writes a large input parses on a second thread meanwhile (parse_pipeline.hpp); a checking pass
// has too little else to do for that to pay.
std::vector<std::size_t> run_pass(const detail::ParseInput& input, ConvertOutput* output,
                                  std::vector<std::size_t> held_ordinals, const StopFlag* stop) {
  ConvertHandler handler(output, std::move(held_ordinals), stop);
  std::string error;
  if (output && input.bytes.size() >= BACKGROUND_PARSE_FROM) {
    error = detail::parse_in_background(
        input, [&](const detail::EventChunk& chunk) { detail::replay(chunk, handler); });
  } else if (!detail::sax_parse(input, handler)) {
    error = handler.error();
  }
  if (!error.empty()) throw KeepaJsonError("Keepa 数据不是有效的 JSON：" + error);
  handler.finish();
  std::vector<std::size_t> collisions = handler.take_collisions();
  std::sort(collisions.begin(), collisions.end());
  return collisions;
}

// Both passes over `input` as the header describes.
void convert(const detail::ParseInput& input, ConvertOutput& output, const StopFlag* stop) {
  std::vector<std::size_t> collisions;
  try {
    if (output.can_rewind()) {
      collisions = run_pass(input, &output, {}, stop);
      if (collisions.empty()) return;
      output.rewind();
    } else {
      collisions = run_pass(input, nullptr, {}, stop);
    }
    run_pass(input, &output, std::move(collisions), stop);
  } catch (...) {
    if (output.can_rewind()) output.rewind();
    throw;
  }
}

}  // namespace

void convert_stream(std::string_view input, ConvertOutput& output, const StopFlag* stop) {
  convert({.bytes = input}, output, stop);
}

void convert_stream(const MappedInput& input, ConvertOutput& output, const StopFlag* stop) {
  try {
    convert({.bytes = input.view(), .file = &input}, output, stop);
  } catch (const KeepaJsonError&) {
    // What the parser found wrong may be the zeros read where the file was cut off.
    input.check_intact();
    throw;
  }
  try {
    input.check_intact();
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
