#pragma once
// The one table of vendro's commands. Each entry says what a command is called, what it takes
// and how it runs; the command line builds its options and help from it, and the tool server
// builds its tools and their input schemas from it, so the two cannot drift apart.
//
// A command never writes to standard output itself: it hands its result to the OutputSink of its
// Context. The command line's sink is standard output; a tool call's sink is the call's result.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/commands/value_rules.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro::seller_sprite {
class Operator;
}

namespace vendro::commands {

enum class ParamType {
  text,         // a string
  integer,      // a whole number within `integer_rules`
  seconds,      // decimal seconds within [min_seconds, max_seconds]
  flag,         // true or false; on the command line a flag without a value
  text_list,    // strings; on the command line a repeatable option whose values may be comma lists
  json_object,  // a JSON object; on the command line inline JSON, @FILE or - for standard input
};

// How a secret reaches a command from the command line, where every user of the machine can see
// an option's value in the process list.
enum class SecretSource {
  none,           // not a secret
  stdin_prompt,   // read as one line from standard input (no echo on a terminal); no option
  file_or_stdin,  // --NAME-file FILE, or --NAME - for standard input; never an inline value
};

struct Param {
  std::string name;  // as on the command line without "--" ("phrase-count"); tools use "_"
  ParamType type = ParamType::text;
  std::string help;  // Chinese
  bool required = false;
  Json default_value = nullptr;  // the value a command uses when none is given; null: none
  bool positional = false;       // named in capitals in the usage line ("MINUTES")
  std::string short_name;        // a one-letter command-line alias ("-q"), or ""
  IntegerRules integer_rules{};  // for integer
  double min_seconds = 0;        // for seconds
  double max_seconds = 0;
  std::vector<std::string> choices;   // the only values allowed, when not empty
  std::vector<std::string> excludes;  // params that cannot be given together with this one
  SecretSource secret = SecretSource::none;
  std::string secret_env;  // the environment variable the command reads when a secret is not given
  bool cli_only = false;   // meaningful on a terminal only (--quiet); not a tool argument
  // A further check of a text value (after trimming nothing): the Chinese reason it is refused,
  // or "" when it is fine. Runs on both fronts before the command starts.
  std::function<std::string(const std::string&)> check;
  // The JSON Schema of the tool argument, when the generated one is too narrow (an ID that may
  // be a number or text); null: generated from the type.
  Json schema = nullptr;
};

// The arguments of one run: for each param that was given, its value converted to its type
// (text: string, integer: integer, seconds: number, flag: boolean, text_list: array of strings,
// json_object: object), and how it was given (the command line's text, or the tool argument);
// for the others, their default.
class Arguments {
 public:
  void set(const std::string& name, Json value, Json as_given);
  void set_default(const std::string& name, Json value);

  // Whether the caller gave the param (a default does not count).
  bool has(const std::string& name) const;
  // The value given, else the default, else null.
  const Json& get(const std::string& name) const;
  // The value as given (the command-line text or texts, or the tool's JSON), else null.
  const Json& as_given(const std::string& name) const;

  std::string text(const std::string& name, const std::string& fallback = "") const;
  std::optional<std::string> optional_text(const std::string& name) const;
  std::optional<std::int64_t> integer(const std::string& name) const;
  std::optional<double> number(const std::string& name) const;
  bool flag(const std::string& name) const;
  std::vector<std::string> texts(const std::string& name) const;

 private:
  Json values_ = Json::object();
  Json given_ = Json::object();
  Json defaults_ = Json::object();
};

// Where a command's result goes. A command hands over its result once, either whole (put) or as
// JSON text in pieces (write), for results too large to hold as a document.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void put(const Json& result) = 0;
  // Appends JSON text; when the command returns, the text written is one JSON document.
  virtual void write(std::string_view json_text) = 0;
  // Whether rewind() can take back everything written; asked before writing starts.
  virtual bool can_rewind() const = 0;
  virtual void rewind() = 0;
  // The file descriptor the result goes to when it is one (standard output on a terminal), for a
  // command that writes a large result there directly; -1 otherwise.
  virtual int file_descriptor() const { return -1; }
};

// Who runs the command: a person at a terminal (the process and its signals belong to the
// command; standard input is the person's), or a tool server (several calls at once in one
// process; standard input is the protocol's).
enum class Front { terminal, tool_server };

// Everything a running command may use besides its arguments.
struct Context {
  OutputSink& output;
  Front front = Front::terminal;
  // Progress in a few words of Chinese; empty when nobody is watching.
  std::function<void(const std::string&)> progress;
  // A line the person should see even without progress (a long wait starting, where the files
  // went): standard error on a terminal, a progress step for a tool call; empty: nowhere.
  std::function<void(const std::string&)> notice;
  // The person a browser collection asks to log in by hand; null: the terminal.
  std::shared_ptr<seller_sprite::Operator> person;
  // Registers a callback run once if the caller cancels the command (on another thread); the
  // returned object unregisters it. Empty on a terminal, where signals do that job.
  std::function<std::shared_ptr<void>(std::function<void()>)> on_cancel;
  // The exit status on a terminal once the result is out: 0, or 3 for a result that reports
  // incomplete work (errors listed in it).
  int exit_status = 0;

  void report(const std::string& message) const {
    if (progress) progress(message);
  }
  void tell(const std::string& message) const {
    if (notice) notice(message);
  }
};

// A command on a terminal stopped by SIGINT or SIGTERM after cleaning up; the process exits with
// 128 + the signal's number.
class Interrupted : public Error {
 public:
  static constexpr std::string_view CODE = "INTERRUPTED";
  explicit Interrupted(int signal_number)
      : Error("已中断（收到信号 " + std::to_string(signal_number) + "）"),
        signal_number(signal_number) {}
  std::string_view code() const noexcept override { return CODE; }
  const int signal_number;
};

// A tool call its caller cancelled, stopped after cleaning up.
VENDRO_DEFINE_ERROR(Cancelled, Error, "CANCELLED");

// What a tool's annotations say about it.
struct Effects {
  bool read_only = false;    // changes nothing anywhere
  bool destructive = false;  // may remove or overwrite what exists
  bool idempotent = false;   // a second identical call changes nothing more
  bool open_world = false;   // talks to services outside this machine
};

struct Command {
  std::vector<std::string> path;  // {"seller-sprite", "account", "set"}; {"upload"}
  std::string summary;            // Chinese; the help line and the tool's title
  std::string description;        // Chinese; the rest of its help, may be empty
  std::string footer;             // examples and notes below the options on the command line
  std::vector<Param> params;
  Effects effects;
  Json output_schema = nullptr;  // the result's JSON Schema when it has a fixed shape
  std::string tool_name;         // when not derived from the path
  // Calls that name the same resource run one after another (a browser profile).
  std::string exclusive_resource;
  // The command cannot do its work without a person answering it (a login by hand).
  bool needs_person = false;
  std::function<void(const Arguments&, Context&)> run;
};

// A level of command groups above the commands ("seller-sprite", "seller-sprite account").
struct Group {
  std::vector<std::string> path;
  std::string description;  // Chinese
  std::string footer;
};

// Every group and every command, in the order of `vendro --help`.
const std::vector<Group>& command_groups();
const std::vector<Command>& command_table();

// "seller_sprite_collect" for {"seller-sprite", "collect"}, unless the command names its own.
std::string tool_name(const Command& command);
// "phrase_count" for "phrase-count".
std::string argument_name(const Param& param);

}  // namespace vendro::commands
