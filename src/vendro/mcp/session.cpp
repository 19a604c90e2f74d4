#include "vendro/mcp/session.hpp"

#include <condition_variable>
#include <map>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "vendro/core/environment.hpp"
#include "vendro/mcp/client_requests.hpp"
#include "vendro/mcp/exchange.hpp"
#include "vendro/mcp/protocol.hpp"
#include "vendro/mcp/tool_call.hpp"

namespace vendro::mcp {

namespace {

constexpr std::size_t DEFAULT_CALL_LIMIT = 8;

constexpr const char* INSTRUCTIONS =
    "vendro 是跨境电商运营工具箱：每个工具对应一条 vendro 命令（卖家精灵、Rufus、Keepa、Sif、"
    "Shopify、上传、西柚等），参数与命令行选项一致，结果以 JSON 返回。耗时的工具会报告进度，"
    "可随时取消。";

// What tools/list shows of a tool under an older revision: members that revision does not
// know are left out (a client that sees an outputSchema expects structured results).
Json tool_for_revision(const Json& tool, std::string_view revision) {
  if (revision_at_least(revision, "2025-06-18")) return tool;
  Json shown = tool;
  shown.erase("outputSchema");
  shown.erase("title");
  if (!revision_at_least(revision, "2025-03-26")) shown.erase("annotations");
  return shown;
}

Json tool_result(const ToolOutcome& outcome, std::string_view revision) {
  Json result = {{"content", Json::array({{{"type", "text"}, {"text", outcome.text}}})}};
  // structuredContent came with 2025-06-18. A failed call's empty object would be checked
  // against the tool's output schema by clients, so it is left out.
  if (revision_at_least(revision, "2025-06-18") &&
      !(outcome.is_error && outcome.structured.empty())) {
    result["structuredContent"] = outcome.structured;
  }
  result["isError"] = outcome.is_error;
  return result;
}

ToolOutcome failed_outcome(const std::exception& error) {
  std::string text;
  for (const std::string& line : error_chain(error))
    text += (text.empty() ? "" : "\n原因：") + line;
  return {.structured = Json::object(),
          .text = "错误 [" + std::string(error_code(error)) + "]：" + text,
          .is_error = true};
}

}  // namespace

bool CallSlots::try_take() {
  std::lock_guard lock(mutex_);
  if (taken_ >= limit_) return false;
  ++taken_;
  return true;
}

void CallSlots::give_back() {
  std::lock_guard lock(mutex_);
  if (taken_ > 0) --taken_;
}

struct Session::State : std::enable_shared_from_this<Session::State> {
  State(ToolProvider& provider, SessionOptions options)
      : provider(provider),
        page_size(options.page_size > 0 ? options.page_size : 1),
        slots(options.slots ? options.slots : std::make_shared<CallSlots>(DEFAULT_CALL_LIMIT)) {
    for (const Json& tool : provider.tools()) {
      if (tool.contains("name") && tool["name"].is_string()) tool_names.insert(tool["name"]);
    }
  }

  ToolProvider& provider;
  const std::size_t page_size;
  const std::shared_ptr<CallSlots> slots;
  std::set<std::string> tool_names;
  const std::shared_ptr<ClientRequests> client = std::make_shared<ClientRequests>();

  mutable std::mutex mutex;
  std::condition_variable threads_ended;
  bool initialized = false;
  bool closing = false;
  std::string revision;
  bool client_elicits = false;
  // Calls in flight by their request id (as compact JSON text: 1 and "1" differ).
  std::map<std::string, std::shared_ptr<ToolCall>> calls;
  std::size_t threads = 0;

  void dispatch(const Json& message, const std::shared_ptr<Exchange>& exchange,
                const Headers& headers);
  void request(const Json& id, const std::string& method, const Json& params,
               const std::shared_ptr<Exchange>& exchange, const Headers& headers);
  void notification(const std::string& method, const Json& params);
  Json initialize(const Json& id, const Json& params);
  Json list_tools(const Json& id, const Json& params);
  std::optional<Json> start_call(const Json& id, const Json& params,
                                 const std::shared_ptr<Exchange>& exchange, const Headers& headers);
  void run_call(std::string key, Json id, std::string name, Json arguments,
                std::shared_ptr<ToolCall> call, std::string call_revision);
};

void Session::State::dispatch(const Json& message, const std::shared_ptr<Exchange>& exchange,
                              const Headers& headers) {
  auto refuse = [&](const Json& id, const std::string& why) {
    exchange->expect();
    exchange->answer(rpc::error_response(id, rpc::INVALID_REQUEST, why));
  };
  if (!message.is_object()) return refuse(nullptr, "无效的请求：消息不是 JSON 对象");
  const Json id =
      message.contains("id") && rpc::is_valid_id(message["id"]) ? message["id"] : Json();
  if (!message.contains("jsonrpc") || message["jsonrpc"] != "2.0") {
    return refuse(id, "无效的请求：jsonrpc 必须是 \"2.0\"");
  }
  if (!message.contains("method")) {
    // A response to one of our requests.
    if (message.contains("id") && (message.contains("result") != message.contains("error"))) {
      client->deliver(message);
      return;
    }
    return refuse(id, "无效的请求：缺少 method");
  }
  if (!message["method"].is_string()) return refuse(id, "无效的请求：method 必须是字符串");
  const std::string method = message["method"];
  if (message.contains("id") && !rpc::is_valid_id(message["id"])) {
    return refuse(nullptr, "无效的请求：id 必须是字符串或整数");
  }
  const Json params = message.contains("params") ? message["params"] : Json::object();
  if (!message.contains("id")) {
    if (params.is_object()) notification(method, params);
    return;
  }
  if (!params.is_object()) {
    exchange->expect();
    exchange->answer(rpc::error_response(id, rpc::INVALID_PARAMS, "无效的参数：params 必须是对象"));
    return;
  }
  request(id, method, params, exchange, headers);
}

void Session::State::request(const Json& id, const std::string& method, const Json& params,
                             const std::shared_ptr<Exchange>& exchange, const Headers& headers) {
  exchange->expect();
  auto fail = [&](int code, const std::string& why) {
    exchange->answer(rpc::error_response(id, code, why));
  };
  if (method == "initialize") return exchange->answer(initialize(id, params));
  if (method == "ping") return exchange->answer(rpc::result_response(id, Json::object()));
  {
    std::lock_guard lock(mutex);
    if (!initialized) return fail(rpc::INVALID_REQUEST, "会话尚未初始化：请先发送 initialize");
  }
  if (method == "tools/list") return exchange->answer(list_tools(id, params));
  if (method == "tools/call") {
    if (auto refused = start_call(id, params, exchange, headers)) exchange->answer(*refused);
    return;
  }
  fail(rpc::METHOD_NOT_FOUND, "未知的方法：" + method);
}

void Session::State::notification(const std::string& method, const Json& params) {
  if (method != "notifications/cancelled") return;  // initialized, progress, roots: nothing to do
  if (!params.contains("requestId")) return;
  std::shared_ptr<ToolCall> call;
  {
    std::lock_guard lock(mutex);
    auto found = calls.find(params["requestId"].dump());
    if (found == calls.end()) return;  // finished already, or never a call: ignored
    call = found->second;
    calls.erase(found);
  }
  call->abandon();
}

Json Session::State::initialize(const Json& id, const Json& params) {
  if (!params.contains("protocolVersion") || !params["protocolVersion"].is_string()) {
    return rpc::error_response(id, rpc::INVALID_PARAMS, "无效的参数：缺少 protocolVersion");
  }
  const Json capabilities = params.contains("capabilities") ? params["capabilities"] : Json();
  if (!capabilities.is_null() && !capabilities.is_object()) {
    return rpc::error_response(id, rpc::INVALID_PARAMS, "无效的参数：capabilities 必须是对象");
  }
  const std::string asked = params["protocolVersion"];
  std::lock_guard lock(mutex);
  if (initialized) return rpc::error_response(id, rpc::INVALID_REQUEST, "会话已经初始化过");
  initialized = true;
  revision = is_known_revision(asked) ? asked : std::string(LATEST_REVISION);
  // Elicitation came with 2025-06-18; an empty object declares form mode, and since
  // 2025-11-25 a client may declare url mode alone.
  if (revision_at_least(revision, "2025-06-18") && capabilities.is_object() &&
      capabilities.contains("elicitation") && capabilities["elicitation"].is_object()) {
    const Json& elicitation = capabilities["elicitation"];
    client_elicits = elicitation.contains("form") || !elicitation.contains("url");
  }
  return rpc::result_response(id, {{"protocolVersion", revision},
                                   {"capabilities", {{"tools", {{"listChanged", false}}}}},
                                   {"serverInfo", {{"name", "vendro"}, {"version", get_version()}}},
                                   {"instructions", INSTRUCTIONS}});
}

Json Session::State::list_tools(const Json& id, const Json& params) {
  const std::vector<Json>& tools = provider.tools();
  std::size_t start = 0;
  if (params.contains("cursor") && !params["cursor"].is_null()) {
    // The cursor is the index of the page's first tool, as decimal text.
    const Json& cursor = params["cursor"];
    const std::string text = cursor.is_string() ? cursor.get<std::string>() : "";
    bool valid = !text.empty() && text.size() <= 9 &&
                 text.find_first_not_of("0123456789") == std::string::npos;
    if (valid) start = std::stoul(text);
    if (!valid || start == 0 || start >= tools.size()) {
      return rpc::error_response(id, rpc::INVALID_PARAMS, "无效的参数：分页游标无效");
    }
  }
  const std::string shown_revision = revision;
  Json page = Json::array();
  const std::size_t end = std::min(tools.size(), start + page_size);
  for (std::size_t i = start; i < end; ++i)
    page.push_back(tool_for_revision(tools[i], shown_revision));
  Json result = {{"tools", std::move(page)}};
  if (end < tools.size()) result["nextCursor"] = std::to_string(end);
  return rpc::result_response(id, std::move(result));
}

std::optional<Json> Session::State::start_call(const Json& id, const Json& params,
                                               const std::shared_ptr<Exchange>& exchange,
                                               const Headers& headers) {
  auto invalid = [&](const std::string& why) {
    return rpc::error_response(id, rpc::INVALID_PARAMS, "无效的参数：" + why);
  };
  if (!params.contains("name") || !params["name"].is_string()) return invalid("缺少工具名 name");
  const std::string name = params["name"];
  if (!tool_names.count(name)) return invalid("未知的工具：" + name);
  Json arguments = params.contains("arguments") ? params["arguments"] : Json::object();
  if (!arguments.is_object()) return invalid("arguments 必须是对象");

  ToolCallSetup setup{.exchange = exchange, .client = client, .headers = headers};
  if (params.contains("_meta") && params["_meta"].is_object() &&
      params["_meta"].contains("progressToken") &&
      rpc::is_valid_id(params["_meta"]["progressToken"])) {
    setup.progress_token = params["_meta"]["progressToken"];
  }
  const std::string key = id.dump();
  std::shared_ptr<ToolCall> call;
  std::string call_revision;
  {
    std::lock_guard lock(mutex);
    if (closing)
      return rpc::error_response(id, rpc::INTERNAL_ERROR, "服务器正在关闭，不再接受调用");
    if (calls.count(key))
      return rpc::error_response(id, rpc::INVALID_REQUEST, "请求 id 已被一个进行中的调用使用");
    if (!slots->try_take()) {
      return rpc::error_response(id, rpc::INTERNAL_ERROR,
                                 "服务器繁忙：同时进行的工具调用已达 " +
                                     std::to_string(slots->limit()) + " 个，请稍后再试");
    }
    setup.revision = call_revision = revision;
    setup.client_elicits = client_elicits;
    call = std::make_shared<ToolCall>(std::move(setup));
    calls[key] = call;
    ++threads;
  }
  try {
    std::thread(&State::run_call, shared_from_this(), key, id, name, std::move(arguments), call,
                call_revision)
        .detach();
  } catch (const std::system_error&) {
    std::lock_guard lock(mutex);
    calls.erase(key);
    --threads;
    slots->give_back();
    return rpc::error_response(id, rpc::INTERNAL_ERROR, "无法为工具调用创建线程：系统资源不足");
  }
  return std::nullopt;
}

void Session::State::run_call(std::string key, Json id, std::string name, Json arguments,
                              std::shared_ptr<ToolCall> call, std::string call_revision) {
  ToolOutcome outcome;
  try {
    outcome = provider.call(name, arguments, *call);
  } catch (const std::exception& error) {
    outcome = failed_outcome(error);
  } catch (...) {
    outcome = {.structured = Json::object(),
               .text = "错误 [INTERNAL_ERROR]：工具因未知异常而中止",
               .is_error = true};
  }
  // The id is free again and the slot is back before the answer goes out, so that a client
  // that sends its next call on reading the answer is not refused.
  {
    std::lock_guard lock(mutex);
    auto found = calls.find(key);
    if (found != calls.end() && found->second == call) calls.erase(found);
  }
  slots->give_back();
  try {
    call->finish(rpc::result_response(id, tool_result(outcome, call_revision)));
  } catch (const std::exception&) {
    // Out of memory while answering: the channel is left as it is; the client's own time-out
    // ends its wait.
  }
  std::lock_guard lock(mutex);
  --threads;
  threads_ended.notify_all();
}

Session::Session(ToolProvider& provider, SessionOptions options)
    : state_(std::make_shared<State>(provider, std::move(options))) {}

Session::~Session() {
  shutdown(std::chrono::milliseconds(0));
}

void Session::handle(const Json& message, std::shared_ptr<Channel> channel, Headers headers) {
  try {
    if (!message.is_array()) {
      auto exchange = std::make_shared<Exchange>(std::move(channel), false);
      state_->dispatch(message, exchange, headers);
      exchange->seal();
      return;
    }
    auto single_error = [&](const std::string& why) {
      channel->send(rpc::error_response(nullptr, rpc::INVALID_REQUEST, why));
      channel->close();
    };
    if (message.empty()) return single_error("无效的请求：空的批量消息");
    if (!batches_allowed(revision())) {
      return single_error("无效的请求：当前协议版本不支持批量消息");
    }
    auto exchange = std::make_shared<Exchange>(std::move(channel), true);
    for (const Json& item : message) {
      if (rpc::is_initialize(item)) {
        exchange->expect();
        exchange->answer(rpc::error_response(item["id"], rpc::INVALID_REQUEST,
                                             "无效的请求：initialize 不能放在批量消息中"));
      } else {
        state_->dispatch(item, exchange, headers);
      }
    }
    exchange->seal();
  } catch (const std::exception&) {
    // Only memory can run out here; the client's own time-out ends its wait.
  }
}

void Session::handle_text(std::string_view text, std::shared_ptr<Channel> channel) {
  Json message;
  try {
    if (text.size() > MAX_MESSAGE_BYTES) {
      throw JsonError("消息超过 " + std::to_string(MAX_MESSAGE_BYTES / (1024 * 1024)) +
                      " MiB 的上限");
    }
    message = parse_json(text, "消息");
  } catch (const std::exception& error) {
    channel->send(
        rpc::error_response(nullptr, rpc::PARSE_ERROR, std::string("解析错误：") + error.what()));
    channel->close();
    return;
  }
  handle(message, std::move(channel));
}

bool Session::shutdown(std::chrono::milliseconds grace) {
  std::vector<std::shared_ptr<ToolCall>> running;
  {
    std::lock_guard lock(state_->mutex);
    state_->closing = true;
    for (auto& [key, call] : state_->calls) running.push_back(call);
  }
  for (auto& call : running) call->stop();
  state_->client->close();
  std::unique_lock lock(state_->mutex);
  return state_->threads_ended.wait_for(lock, grace, [&] { return state_->threads == 0; });
}

std::string Session::revision() const {
  std::lock_guard lock(state_->mutex);
  return state_->revision;
}

bool Session::initialized() const {
  std::lock_guard lock(state_->mutex);
  return state_->initialized;
}

std::size_t Session::calls_in_flight() const {
  std::lock_guard lock(state_->mutex);
  return state_->threads;
}

}  // namespace vendro::mcp
