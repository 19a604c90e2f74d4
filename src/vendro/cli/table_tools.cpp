#include "vendro/cli/table_tools.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>

#include "vendro/commands/param_values.hpp"
#include "vendro/core/text.hpp"
#include "vendro/seller_sprite/operator.hpp"
#include "vendro/shared/file_upload.hpp"
#include "vendro/shared/request_context.hpp"

namespace vendro::cli {

namespace {

using commands::Command;

// How long a login question may wait for the person behind the assistant.
constexpr std::chrono::seconds PERSON_TIMEOUT{600};
// How often a call waiting for a shared resource looks whether it was cancelled.
constexpr std::chrono::milliseconds RESOURCE_POLL{200};
// The largest result a command may stream into a call's result (a converted Keepa payload).
constexpr std::size_t STREAMED_RESULT_LIMIT = 256u << 20;

constexpr const char* NO_PERSON_MESSAGE =
    "此操作需要在浏览器中手动登录，但当前的 AI "
    "助手客户端不支持向用户提问（elicitation）：请先在终端"
    "运行 `vendro seller-sprite login` 登录卖家精灵，再调用本工具";

// A call's result: put whole, or streamed as JSON text and read back when the command is done.
class CallSink final : public commands::OutputSink {
 public:
  void put(const Json& result) override { result_ = result; }
  void write(std::string_view json_text) override {
    if (text_.size() + json_text.size() > STREAMED_RESULT_LIMIT) {
      throw FileError("结果过大（超过 " + std::to_string(STREAMED_RESULT_LIMIT >> 20) + " MiB）");
    }
    text_ += json_text;
  }
  bool can_rewind() const override { return true; }
  void rewind() override { text_.clear(); }

  Json result() const { return text_.empty() ? result_ : parse_json(text_, "命令的结果"); }

 private:
  Json result_;
  std::string text_;
};

// The failure as the command line shows it: the message with its code, then its causes.
mcp::ToolOutcome failure(const std::exception& error) {
  const std::vector<std::string> chain = error_chain(error);
  mcp::ToolOutcome outcome;
  outcome.is_error = true;
  outcome.text = failure_report(error);
  outcome.structured = {
      {"error", {{"code", std::string(error_code(error))}, {"message", chain.front()}}}};
  return outcome;
}

// The questions to the person still open. A collection that gives up waiting (its page went
// away) leaves its question open on a worker thread, which uses the call's context: the call
// must not end before the question does (the client's answer, its timeout or cancelling).
class OpenQuestions {
 public:
  // False once the call has ended: then the context is gone and nothing may be asked.
  bool begin() {
    std::lock_guard lock(mutex_);
    if (ended_) return false;
    ++open_;
    return true;
  }
  void end() {
    std::lock_guard lock(mutex_);
    --open_;
    closed_.notify_all();
  }
  // Ends the call: waits for the open questions and refuses new ones.
  void end_call() {
    std::unique_lock lock(mutex_);
    ended_ = true;
    closed_.wait(lock, [this] { return open_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable closed_;
  int open_ = 0;
  bool ended_ = false;
};

// The person behind the assistant, asked through the client.
std::shared_ptr<seller_sprite::Operator> person_for(mcp::CallContext& call,
                                                    std::shared_ptr<OpenQuestions> open) {
  if (!call.can_elicit()) {
    return std::make_shared<seller_sprite::BlockingOperator>(
        [](const std::string&) { return std::string(NO_PERSON_MESSAGE); });
  }
  return std::make_shared<seller_sprite::BlockingOperator>(
      [&call, open](const std::string& prompt) {
        if (!open->begin()) return std::string("调用已结束");
        struct End {
          OpenQuestions& open;
          ~End() { open.end(); }
        } end{*open};
        const Json schema = {{"type", "object"}, {"properties", Json::object()}};
        const Json answer =
            call.elicit(text::strip(prompt) + "\n完成后请确认。", schema, PERSON_TIMEOUT);
        if (answer.value("action", "") == "accept") return std::string();
        return std::string("用户没有确认登录（" + answer.value("action", "cancel") + "）");
      });
}

}  // namespace

Json tool_listing(const Command& command) {
  std::string description = command.summary;
  if (!command.description.empty()) description += "\n" + command.description;
  Json tool = {{"name", commands::tool_name(command)},
               {"title", command.summary},
               {"description", description},
               {"inputSchema", commands::input_schema(command)}};
  if (command.output_schema.is_object() && command.output_schema.value("type", "") == "object") {
    tool["outputSchema"] = command.output_schema;
  }
  tool["annotations"] = {{"title", command.summary},
                         {"readOnlyHint", command.effects.read_only},
                         {"destructiveHint", command.effects.destructive},
                         {"idempotentHint", command.effects.idempotent},
                         {"openWorldHint", command.effects.open_world}};
  return tool;
}

http::NameValues passed_on_headers(const mcp::Headers& headers) {
  static const std::vector<std::string> known = {shared::MCP_API_KEY_HEADER};
  http::NameValues passed;
  for (const auto& [name, value] : headers) {
    std::string spelled = name;
    for (const std::string& ours : known) {
      if (text::to_lower(ours) == text::to_lower(name)) spelled = ours;
    }
    passed.emplace_back(spelled, value);
  }
  return passed;
}

TableTools::TableTools(const std::vector<Command>& table) {
  for (const Command& command : table) {
    tools_.push_back(tool_listing(command));
    by_name_[commands::tool_name(command)] = &command;
  }
}

const std::vector<Json>& TableTools::tools() const {
  return tools_;
}

std::timed_mutex& TableTools::resource(const std::string& name) {
  std::lock_guard lock(resources_mutex_);
  auto& slot = resources_[name];
  if (!slot) slot = std::make_unique<std::timed_mutex>();
  return *slot;
}

mcp::ToolOutcome TableTools::call(const std::string& name, const Json& arguments,
                                  mcp::CallContext& call) {
  auto found = by_name_.find(name);
  if (found == by_name_.end()) throw InputError("未知的工具：" + name);
  const Command& command = *found->second;
  try {
    const commands::Arguments args = commands::tool_arguments(command, arguments);
    if (command.needs_person && !call.can_elicit()) throw InputError(NO_PERSON_MESSAGE);

    std::unique_lock<std::timed_mutex> held;
    if (!command.exclusive_resource.empty()) {
      held = std::unique_lock(resource(command.exclusive_resource), std::defer_lock);
      bool told = false;
      while (!held.try_lock_for(RESOURCE_POLL)) {
        if (call.cancelled()) throw commands::Cancelled("已取消（还在等待前一个调用结束）");
        if (!told) call.progress(0, std::nullopt, "等待同一浏览器配置上的前一个调用结束…");
        told = true;
      }
    }

    auto open = std::make_shared<OpenQuestions>();
    struct WaitForQuestions {
      OpenQuestions& open;
      ~WaitForQuestions() { open.end_call(); }
    } wait_for_questions{*open};
    shared::ScopedMcpRequestHeaders headers(passed_on_headers(call.request_headers()));
    CallSink sink;
    auto step = std::make_shared<std::atomic<int>>(0);
    auto report = [&call, step](const std::string& message) {
      call.progress(++*step, std::nullopt, message);
    };
    commands::Context context{.output = sink,
                              .front = commands::Front::tool_server,
                              .progress = report,
                              .notice = report,
                              .person = person_for(call, open)};
    context.on_cancel = [&call](std::function<void()> callback) {
      return call.on_cancel(std::move(callback));
    };
    command.run(args, context);

    Json result = sink.result();
    mcp::ToolOutcome outcome;
    outcome.text = to_pretty_json(result);
    outcome.structured = result.is_object() ? result : Json{{"result", result}};
    return outcome;
  } catch (const std::exception& error) {
    return failure(error);
  }
}

}  // namespace vendro::cli
