#pragma once
// A condition variable for coroutines on one io_context: waiters sleep on a timer set to their
// deadline, and notify_all() wakes them all to re-check their condition. Not thread-safe; used
// only from the loop that owns the state it guards.

#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <list>

namespace vendro::browser {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

inline constexpr Deadline NO_DEADLINE = Deadline::max();

// The deadline `timeout_ms` from now; 0 or less means none.
inline Deadline deadline_after(long long timeout_ms) {
  if (timeout_ms <= 0) return NO_DEADLINE;
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

class Notifier {
 public:
  Notifier() = default;
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  void notify_all() {
    for (auto* timer : waiters_) timer->cancel();
  }

  // Suspends until `condition()` holds (true) or `deadline` passes (false). The condition is
  // checked first, so a condition that already holds never suspends.
  template <class Condition>
  asio::awaitable<bool> wait_until(Condition condition, Deadline deadline) {
    if (condition()) co_return true;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    auto self = waiters_.insert(waiters_.end(), &timer);
    struct Unlink {
      std::list<asio::steady_timer*>& list;
      std::list<asio::steady_timer*>::iterator it;
      ~Unlink() { list.erase(it); }
    } unlink{waiters_, self};
    for (;;) {
      if (Clock::now() >= deadline) co_return condition();
      timer.expires_at(deadline);
      std::error_code ec;
      co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      if (condition()) co_return true;
    }
  }

 private:
  std::list<asio::steady_timer*> waiters_;
};

}  // namespace vendro::browser
