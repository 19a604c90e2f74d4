#include "vendro/mcp/client_requests.hpp"

#include "vendro/mcp/protocol.hpp"

namespace vendro::mcp {

Json ClientRequests::ask(Exchange& exchange, const std::string& method, Json params,
                         std::chrono::milliseconds timeout, std::stop_token stop) {
  auto waiting = std::make_shared<Waiting>();
  std::int64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (closed_) throw Error("服务器正在关闭，无法再向客户端询问");
    id = next_id_++;
    waiting_[id] = waiting;
  }
  exchange.send(rpc::request(id, method, std::move(params)));

  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  answered_.wait_until(lock, stop, deadline, [&] { return waiting->response || closed_; });
  waiting_.erase(id);
  if (!waiting->response) {
    const bool timed_out = !closed_ && !stop.stop_requested();
    lock.unlock();
    exchange.send(rpc::notification(
        "notifications/cancelled",
        {{"requestId", id}, {"reason", timed_out ? "等待回答超时" : "调用已取消"}}));
    if (timed_out) {
      throw Error(
          "等待客户端回答超时（" +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
          " 秒）");
    }
    throw Error("调用已取消，不再等待客户端回答");
  }
  const Json& response = *waiting->response;
  if (response.contains("error")) {
    const Json& error = response["error"];
    std::string message =
        error.is_object() && error.contains("message") && error["message"].is_string()
            ? error["message"].get<std::string>()
            : error.dump();
    throw Error("客户端回答了错误：" + message);
  }
  return response["result"];
}

bool ClientRequests::deliver(const Json& response) {
  const Json& id = response["id"];
  if (!id.is_number_integer()) return false;
  std::lock_guard lock(mutex_);
  auto found = waiting_.find(id.get<std::int64_t>());
  if (found == waiting_.end() || found->second->response) return false;
  found->second->response = response;
  answered_.notify_all();
  return true;
}

void ClientRequests::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  answered_.notify_all();
}

}  // namespace vendro::mcp
