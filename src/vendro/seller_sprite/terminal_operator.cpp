#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "vendro/browser/errors.hpp"
#include "vendro/seller_sprite/errors.hpp"
#include "vendro/seller_sprite/operator.hpp"

namespace vendro::seller_sprite {

namespace {

// What the reading thread hands back. Shared, since an abandoned wait leaves the thread blocked
// in its read until the process ends.
struct LineState {
  std::mutex mutex;
  bool done = false;
  bool got_line = false;
};

constexpr std::chrono::milliseconds POLL_INTERVAL{200};

}  // namespace

asio::awaitable<void> TerminalOperator::confirm(std::string prompt,
                                                std::function<bool()> abandoned) {
  std::cerr << prompt << std::flush;
  auto state = std::make_shared<LineState>();
  // The thread never touches the loop: an abandoned wait may end the loop before the line comes.
  std::thread([state] {
    std::string line;
    bool ok = static_cast<bool>(std::getline(std::cin, line));
    {
      std::lock_guard lock(state->mutex);
      state->done = true;
      state->got_line = ok;
    }
  }).detach();

  asio::steady_timer timer(co_await asio::this_coro::executor);

  for (;;) {
    {
      std::lock_guard lock(state->mutex);
      if (state->done) {
        if (!state->got_line) {
          throw SellerSpriteOperatorError("标准输入已关闭，无法等待终端确认（需要在终端按回车）");
        }
        co_return;
      }
    }
    if (abandoned && abandoned()) throw browser::TargetClosedError(browser::CLOSED_MESSAGE);
    timer.expires_after(POLL_INTERVAL);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
}

}  // namespace vendro::seller_sprite
