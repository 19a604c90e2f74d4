#pragma once
// The errors the browser driver raises. Every message is meant for the operator and says what was
// being done; timeouts name the operation, the selector or state awaited and the time spent.

#include "vendro/core/error.hpp"

namespace vendro::browser {

// The base of every driver failure.
VENDRO_DEFINE_ERROR(BrowserError, Error, "BROWSER_ERROR");
// No executable, a profile in use, a browser that exits or never answers while starting. A
// missing executable says "Executable doesn't exist" and lists the paths tried.
VENDRO_DEFINE_ERROR(LaunchError, BrowserError, "BROWSER_LAUNCH_ERROR");
// The profile directory is held by a live browser on this host.
VENDRO_DEFINE_ERROR(ProfileInUseError, LaunchError, "BROWSER_PROFILE_IN_USE");
// A wait ran out of time (navigation, load state, event, locator, evaluate with a timeout).
VENDRO_DEFINE_ERROR(TimeoutError, BrowserError, "BROWSER_TIMEOUT");
// The page, its context or the browser was closed (or crashed) before or during the call.
VENDRO_DEFINE_ERROR(TargetClosedError, BrowserError, "BROWSER_CLOSED");
// Navigation failed (network error, aborted), or the browser refused a protocol command.
VENDRO_DEFINE_ERROR(NavigationError, BrowserError, "BROWSER_NAVIGATION_ERROR");
VENDRO_DEFINE_ERROR(ProtocolError, BrowserError, "BROWSER_PROTOCOL_ERROR");
// Script evaluated in the page threw, or its result could not be returned.
VENDRO_DEFINE_ERROR(EvaluationError, BrowserError, "BROWSER_EVALUATION_ERROR");
// A locator that must name one element matched several; the message lists the first of them.
VENDRO_DEFINE_ERROR(StrictModeError, BrowserError, "BROWSER_STRICT_MODE_VIOLATION");
// A selector the engine cannot parse; the message quotes it.
VENDRO_DEFINE_ERROR(SelectorError, BrowserError, "BROWSER_MALFORMED_SELECTOR");
// fill() on an element that can never take text: a <div>, a checkbox, a file input.
VENDRO_DEFINE_ERROR(NotFillableError, BrowserError, "BROWSER_NOT_FILLABLE");
// A value the element refuses: text typed into a number input, a malformed date.
VENDRO_DEFINE_ERROR(InvalidValueError, BrowserError, "BROWSER_INVALID_VALUE");
// A response body is unavailable (redirect, failed load, evicted) or is not what was asked for.
VENDRO_DEFINE_ERROR(ResponseBodyError, BrowserError, "BROWSER_RESPONSE_BODY_ERROR");

// The text shared by every closed-target error, so callers and logs recognise it.
inline constexpr const char* CLOSED_MESSAGE =
    "页面、上下文或浏览器已关闭（Target page, context or browser has been closed）";

}  // namespace vendro::browser
