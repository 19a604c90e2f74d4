#pragma once
// The bridge from blocking callers to the asynchronous driver: run one operation to completion on
// an io_context that the caller owns, running every other ready handler (network events, event
// listeners, the connection's reader) while it waits. Only one thread may run a given io_context.

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <optional>
#include <type_traits>

#include "vendro/browser/errors.hpp"

namespace vendro::browser {

// Runs `operation` on `io` and returns its value, or rethrows its exception. Blocks the calling
// thread until it ends; the operation's own timeouts bound that wait.
template <class T>
T run_blocking(asio::io_context& io, asio::awaitable<T> operation) {
  std::exception_ptr error;
  bool done = false;
  if constexpr (std::is_void_v<T>) {
    asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e) {
      error = e;
      done = true;
    });
    io.restart();
    while (!done && io.run_one() > 0) {
    }
    if (!done) throw BrowserError("内部错误：事件循环在操作完成前停止");
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> value;
    asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T v) {
      error = e;
      if (!e) value.emplace(std::move(v));
      done = true;
    });
    io.restart();
    while (!done && io.run_one() > 0) {
    }
    if (!done) throw BrowserError("内部错误：事件循环在操作完成前停止");
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
}

}  // namespace vendro::browser
