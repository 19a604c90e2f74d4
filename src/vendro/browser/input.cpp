#include "vendro/browser/input.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "vendro/core/error.hpp"
#include "vendro/core/text.hpp"

namespace vendro::browser {

asio::awaitable<void> Mouse::click(double x, double y) {
  auto moved =
      session_->send("Input.dispatchMouseEvent", {{"type", "mouseMoved"}, {"x", x}, {"y", y}});
  auto pressed = session_->send(
      "Input.dispatchMouseEvent",
      {{"type", "mousePressed"}, {"x", x}, {"y", y}, {"button", "left"}, {"clickCount", 1}});
  auto released = session_->send(
      "Input.dispatchMouseEvent",
      {{"type", "mouseReleased"}, {"x", x}, {"y", y}, {"button", "left"}, {"clickCount", 1}});
  co_await session_->result(moved);
  co_await session_->result(pressed);
  co_await session_->result(released);
}

namespace {

// What the protocol needs to know of one key: its DOM `key` and `code`, the Windows virtual key
// code pages read as keyCode, and the text it types, if any.
struct KeyDefinition {
  std::string key;
  std::string code;
  int key_code = 0;
  std::string text;
  int location = 0;
};

struct NamedKey {
  std::string_view name;
  std::string_view code;
  int key_code;
  std::string_view text;
};

constexpr NamedKey NAMED_KEYS[] = {
    {"Enter", "Enter", 13, "\r"},
    {"Tab", "Tab", 9, ""},
    {"Escape", "Escape", 27, ""},
    {"Backspace", "Backspace", 8, ""},
    {"Delete", "Delete", 46, ""},
    {"Insert", "Insert", 45, ""},
    {"ArrowLeft", "ArrowLeft", 37, ""},
    {"ArrowUp", "ArrowUp", 38, ""},
    {"ArrowRight", "ArrowRight", 39, ""},
    {"ArrowDown", "ArrowDown", 40, ""},
    {"Home", "Home", 36, ""},
    {"End", "End", 35, ""},
    {"PageUp", "PageUp", 33, ""},
    {"PageDown", "PageDown", 34, ""},
    {" ", "Space", 32, " "},
    {"Space", "Space", 32, " "},
};

// Modifier keys: their definition and their bit in the protocol's `modifiers`.
struct Modifier {
  std::string_view name;
  std::string_view code;
  int key_code;
  int bit;
};

constexpr Modifier MODIFIERS[] = {
    {"Alt", "AltLeft", 18, 1},
    {"Control", "ControlLeft", 17, 2},
    {"Meta", "MetaLeft", 91, 4},
    {"Shift", "ShiftLeft", 16, 8},
};

const Modifier* find_modifier(std::string_view name) {
  for (const auto& m : MODIFIERS) {
    if (m.name == name) return &m;
  }
  return nullptr;
}

std::optional<KeyDefinition> define_key(std::string_view name, bool shift) {
  for (const auto& k : NAMED_KEYS) {
    if (k.name == name) {
      return KeyDefinition{std::string(k.name == "Space" ? " " : k.name), std::string(k.code),
                           k.key_code, std::string(k.text)};
    }
  }
  if (name.size() >= 2 && name.size() <= 3 && name[0] == 'F') {  // F1 ... F12
    const int n = std::atoi(std::string(name.substr(1)).c_str());
    if (n >= 1 && n <= 12) return KeyDefinition{std::string(name), std::string(name), 111 + n, ""};
  }
  if (const Modifier* m = find_modifier(name)) {
    return KeyDefinition{std::string(m->name), std::string(m->code), m->key_code, "", 1};
  }
  if (text::length(name) != 1) return std::nullopt;
  KeyDefinition key{std::string(name), "", 0, std::string(name)};
  if (name.size() == 1) {
    char c = name[0];
    if (c >= 'a' && c <= 'z') {
      key.code = std::string("Key") + static_cast<char>(c - 'a' + 'A');
      key.key_code = c - 'a' + 'A';
      if (shift) key.key = key.text = std::string(1, static_cast<char>(c - 'a' + 'A'));
    } else if (c >= 'A' && c <= 'Z') {
      key.code = std::string("Key") + c;
      key.key_code = c;
    } else if (c >= '0' && c <= '9') {
      key.code = std::string("Digit") + c;
      key.key_code = c;
    }
  }
  return key;
}

Json key_event(const char* type, const KeyDefinition& key, int modifiers, bool with_text) {
  Json event = {{"type", type},           {"key", key.key},
                {"code", key.code},       {"windowsVirtualKeyCode", key.key_code},
                {"modifiers", modifiers}, {"location", key.location}};
  if (with_text && !key.text.empty()) {
    event["text"] = key.text;
    event["unmodifiedText"] = key.text;
  }
  return event;
}

}  // namespace

asio::awaitable<void> Keyboard::press(std::string combination) {
  // "Shift+Tab": every part but the last is a modifier; "+" alone (or at the end) is the key.
  std::vector<std::string> parts;
  std::string_view rest = combination;
  while (rest.size() > 1) {
    const auto plus = rest.find('+', 1);
    if (plus == std::string_view::npos) break;
    parts.emplace_back(rest.substr(0, plus));
    rest.remove_prefix(plus + 1);
  }
  parts.emplace_back(rest);
  int modifiers = 0;
  std::vector<KeyDefinition> held;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const Modifier* m = find_modifier(parts[i]);
    if (!m) {
      throw InputError("未知的修饰键：\"" + parts[i] + "\"（可用：Alt、Control、Meta、Shift）");
    }
    held.push_back(*define_key(m->name, false));
    modifiers |= m->bit;
  }
  auto key = define_key(parts.back(), (modifiers & 8) != 0);
  if (!key) {
    throw InputError("未知的按键：\"" + parts.back() +
                     "\"（可用：Enter、Tab、Escape、Backspace、Delete、方向键、Home、End、PageUp、"
                     "PageDown、F1–F12，或单个字符）");
  }
  // A chord with Control, Alt or Meta types nothing, as on a real keyboard.
  const bool types_text = (modifiers & ~8) == 0;
  std::vector<std::shared_ptr<PendingCall>> calls;
  int down = 0;
  for (const auto& m : held) {
    down |= find_modifier(m.key)->bit;
    calls.push_back(
        session_->send("Input.dispatchKeyEvent", key_event("rawKeyDown", m, down, false)));
  }
  calls.push_back(
      session_->send("Input.dispatchKeyEvent",
                     key_event(types_text && !key->text.empty() ? "keyDown" : "rawKeyDown", *key,
                               modifiers, types_text)));
  calls.push_back(
      session_->send("Input.dispatchKeyEvent", key_event("keyUp", *key, modifiers, false)));
  for (auto m = held.rbegin(); m != held.rend(); ++m) {
    down &= ~find_modifier(m->key)->bit;
    calls.push_back(session_->send("Input.dispatchKeyEvent", key_event("keyUp", *m, down, false)));
  }
  for (auto& call : calls) co_await session_->result(call);
}

asio::awaitable<void> Keyboard::insert_text(std::string text) {
  Json params = {{"text", std::move(text)}};
  co_await session_->call("Input.insertText", std::move(params));
}

}  // namespace vendro::browser
