#pragma once
// The person in front of the browser, for the moments a collection needs them: logging in by
// hand, solving a captcha. The command line fills this with the terminal; another front end (a
// tool server) can fill it differently.

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <string>

namespace vendro::seller_sprite {

class Operator {
 public:
  virtual ~Operator() = default;
  // Shows `prompt` and completes once the person confirms. `abandoned` is asked now and then
  // while waiting; when it answers true the wait ends by throwing browser::TargetClosedError.
  // Throws SellerSpriteOperatorError when no confirmation can ever come (closed input). Runs on
  // the collection's io_context and never blocks it.
  virtual asio::awaitable<void> confirm(std::string prompt, std::function<bool()> abandoned) = 0;
};

// A person reached through an exchange that blocks (a line on a terminal, a question put to an
// assistant's user). `ask(prompt)` blocks until the person confirms and returns "", or returns
// the Chinese reason no confirmation can come. It runs on a worker thread, so the loop, the
// browser and the page's event handlers keep running; an abandoned wait leaves that thread to
// finish on its own.
class BlockingOperator : public Operator {
 public:
  explicit BlockingOperator(std::function<std::string(const std::string& prompt)> ask);
  asio::awaitable<void> confirm(std::string prompt, std::function<bool()> abandoned) override;

 private:
  std::function<std::string(const std::string&)> ask_;
};

// The terminal: writes the prompt to standard error (standard output carries the result) and
// waits for one line on standard input. The line's text is ignored.
class TerminalOperator : public BlockingOperator {
 public:
  TerminalOperator();
};

// Progress of a collection in a few words of Chinese ("正在打开页面…"), for a front end that
// shows it; the library itself prints nothing.
using ProgressObserver = std::function<void(const std::string& message)>;

}  // namespace vendro::seller_sprite
