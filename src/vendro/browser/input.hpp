#pragma once
// Real input events sent through the protocol, as a person's mouse and keyboard would make them:
// the page sees trusted events (pointer, mouse, key, input) in their usual order. Owned by a Page
// and used on its io_context; not thread-safe.

#include <asio/awaitable.hpp>
#include <memory>
#include <string>

#include "vendro/browser/session.hpp"

namespace vendro::browser {

class Mouse {
 public:
  explicit Mouse(std::shared_ptr<Session> session) : session_(std::move(session)) {}
  // Moves to (x, y) in CSS pixels of the viewport, presses and releases the left button. The
  // three events go out together and are answered in order: one round trip.
  asio::awaitable<void> click(double x, double y);

 private:
  std::shared_ptr<Session> session_;
};

class Keyboard {
 public:
  explicit Keyboard(std::shared_ptr<Session> session) : session_(std::move(session)) {}
  // Presses and releases `key` on the focused element: a key name ("Enter", "Tab", "Escape",
  // "Backspace", "Delete", "ArrowDown", "Home", "PageUp", "F5", ...) or one character ("a",
  // "7", "é"), optionally after modifiers joined by "+" ("Shift+Tab", "Control+a"). Enter in a
  // form's field submits the form, as a person's Enter does. Throws InputError for a name it
  // does not know.
  asio::awaitable<void> press(std::string key);
  // Types `text` into the focused element as one input (no key events), the way an input
  // method commits text.
  asio::awaitable<void> insert_text(std::string text);

 private:
  std::shared_ptr<Session> session_;
};

}  // namespace vendro::browser
