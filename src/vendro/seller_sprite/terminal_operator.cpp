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

// What the asking thread hands back. Shared, since an abandoned wait leaves the thread blocked
// in its exchange until that ends.
struct Answer {
  std::mutex mutex;
  bool done = false;
  std::string refusal;
};

constexpr std::chrono::milliseconds POLL_INTERVAL{200};

std::string ask_on_terminal(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  std::string line;
  if (std::getline(std::cin, line)) return "";
  return "标准输入已关闭，无法等待终端确认（需要在终端按回车）";
}

}  // namespace

BlockingOperator::BlockingOperator(std::function<std::string(const std::string&)> ask)
    : ask_(std::move(ask)) {}

asio::awaitable<void> BlockingOperator::confirm(std::string prompt,
                                                std::function<bool()> abandoned) {
  auto answer = std::make_shared<Answer>();
  // The thread never touches the loop: an abandoned wait may end the loop before the answer.
  std::thread([answer, ask = ask_, prompt] {
    std::string refusal;
    try {
      refusal = ask(prompt);
    } catch (const std::exception& e) {
      refusal = e.what();
    }
    std::lock_guard lock(answer->mutex);
    answer->done = true;
    answer->refusal = std::move(refusal);
  }).detach();

  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    {
      std::lock_guard lock(answer->mutex);
      if (answer->done) {
        if (!answer->refusal.empty()) throw SellerSpriteOperatorError(answer->refusal);
        co_return;
      }
    }
    if (abandoned && abandoned()) throw browser::TargetClosedError(browser::CLOSED_MESSAGE);
    timer.expires_after(POLL_INTERVAL);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
}

TerminalOperator::TerminalOperator() : BlockingOperator(ask_on_terminal) {}

}  // namespace vendro::seller_sprite
