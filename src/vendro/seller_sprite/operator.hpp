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

// The terminal: writes the prompt to standard error (standard output carries the result) and
// waits for one line on standard input, read on a worker thread so the loop, the browser and the
// page's event handlers keep running. The line's text is ignored.
class TerminalOperator : public Operator {
 public:
  asio::awaitable<void> confirm(std::string prompt, std::function<bool()> abandoned) override;
};

// Progress of a collection in a few words of Chinese ("正在打开页面…"), for a front end that
// shows it; the library itself prints nothing.
using ProgressObserver = std::function<void(const std::string& message)>;

}  // namespace vendro::seller_sprite
