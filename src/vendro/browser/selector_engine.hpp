#pragma once
// The page-side half of locators: injected/selector_engine.js, compiled into the library.

#include <string_view>

namespace vendro::browser {

// JavaScript source; evaluating it defines globalThis.__vendro, the engine, once per JavaScript
// world (see the contract at the top of the file).
extern const std::string_view SELECTOR_ENGINE_SOURCE;

}  // namespace vendro::browser
