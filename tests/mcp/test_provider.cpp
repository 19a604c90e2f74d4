#include "mcp/test_provider.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace vendro::testing {

namespace {

using namespace std::chrono_literals;

Json tool(const std::string& name, const std::string& description,
          Json properties = Json::object()) {
  return {{"name", name},
          {"title", name},
          {"description", description},
          {"inputSchema", {{"type", "object"}, {"properties", std::move(properties)}}}};
}

int int_argument(const Json& arguments, const char* name, int fallback, int low, int high) {
  if (!arguments.contains(name) || !arguments[name].is_number_integer()) return fallback;
  return std::clamp(arguments[name].get<int>(), low, high);
}

}  // namespace

TestProvider::TestProvider() {
  Json echo = tool("echo", "原样返回参数", {{"text", {{"type", "string"}}}});
  echo["outputSchema"] = {{"type", "object"},
                          {"properties", {{"arguments", {{"type", "object"}}}}},
                          {"required", {"arguments"}}};
  echo["annotations"] = {{"readOnlyHint", true}};
  tools_.push_back(std::move(echo));
  tools_.push_back(tool("fail", "总是失败"));
  tools_.push_back(tool("throws", "抛出异常"));
  tools_.push_back(tool("slow", "分步完成并报告进度",
                        {{"steps", {{"type", "integer"}}}, {"step_ms", {{"type", "integer"}}}}));
  tools_.push_back(tool("wait_for_cancel", "等待被取消"));
  tools_.push_back(tool("ask", "询问用户的名字"));
  tools_.push_back(tool("headers", "返回请求的 X- 头"));
  tools_.push_back(tool("stats", "返回已看到的取消次数和正在运行的调用数"));
  tools_.push_back(tool("noisy", "向标准输出写杂散字节"));
  for (int i = 1; i <= 19; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "filler_%02d", i);
    tools_.push_back(tool(name, "占位工具"));
  }
}

mcp::ToolOutcome TestProvider::call(const std::string& name, const Json& arguments,
                                    mcp::CallContext& context) {
  struct Running {
    std::atomic<int>& count;
    explicit Running(std::atomic<int>& c) : count(c) { ++count; }
    ~Running() { --count; }
  } running(calls_running_);
  if (name == "echo") return {.structured = {{"arguments", arguments}}, .text = arguments.dump()};
  if (name == "fail") return {.text = "按要求失败", .is_error = true};
  if (name == "throws") throw std::runtime_error("tool blew up");
  if (name == "slow") return slow(arguments, context);
  if (name == "wait_for_cancel") return wait_for_cancel(arguments, context);
  if (name == "ask") return ask(arguments, context);
  if (name == "headers") {
    Json seen = Json::object();
    for (const auto& [header, value] : context.request_headers()) seen[header] = value;
    return {.structured = {{"headers", seen}}, .text = seen.dump()};
  }
  if (name == "noisy") {
    // What a careless library might do; over stdio none of it may reach the protocol stream.
    std::printf("stray printf\n");
    std::fflush(stdout);
    [[maybe_unused]] ssize_t ignored = ::write(1, "stray write\n", 12);
    return {.text = "已写出"};
  }
  if (name == "stats") {
    // This call itself is running too.
    Json stats = {{"cancellations_seen", cancellations_seen_.load()},
                  {"calls_running", calls_running_.load() - 1}};
    return {.structured = stats, .text = stats.dump()};
  }
  return {.structured = {{"tool", name}}, .text = name};
}

mcp::ToolOutcome TestProvider::slow(const Json& arguments, mcp::CallContext& context) {
  const int steps = int_argument(arguments, "steps", 3, 1, 100);
  const int step_ms = int_argument(arguments, "step_ms", 20, 0, 5000);
  for (int i = 1; i <= steps; ++i) {
    context.progress(i, steps, "第 " + std::to_string(i) + " 步");
    // Repeated and smaller values are the server's to drop.
    context.progress(i, steps, "重复");
    context.progress(i - 0.5, steps, "倒退");
    // The step's work. Coming after the report, it also keeps the last report apart from the
    // answer: a client library may drop a report it reads together with the answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return {.structured = {{"steps", steps}}, .text = "完成 " + std::to_string(steps) + " 步"};
}

mcp::ToolOutcome TestProvider::wait_for_cancel(const Json& arguments, mcp::CallContext& context) {
  std::mutex mutex;
  std::condition_variable woken;
  bool called_back = false;
  auto registration = context.on_cancel([&] {
    std::lock_guard lock(mutex);
    called_back = true;
    woken.notify_all();
  });
  context.progress(1, std::nullopt, "开始等待");
  const int limit_ms = int_argument(arguments, "limit_ms", 30000, 0, 60000);
  std::unique_lock lock(mutex);
  woken.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return called_back; });
  if (called_back && context.cancelled()) ++cancellations_seen_;
  return {.text = called_back ? "已取消" : "等待超时", .is_error = !called_back};
}

mcp::ToolOutcome TestProvider::ask(const Json& arguments, mcp::CallContext& context) {
  if (!context.can_elicit()) return {.text = "客户端不能询问", .is_error = true};
  const int timeout_s = int_argument(arguments, "timeout_s", 20, 0, 60);
  try {
    Json answer = context.elicit("请输入名字",
                                 {{"type", "object"},
                                  {"properties", {{"name", {{"type", "string"}}}}},
                                  {"required", {"name"}}},
                                 std::chrono::seconds(timeout_s));
    return {.structured = answer, .text = answer.dump()};
  } catch (const Error& error) {
    return {.text = error.what(), .is_error = true};
  }
}

}  // namespace vendro::testing
