#pragma once
// The errors the browser driver raises. Every message is meant for the operator and says what was
// being done; timeouts name the operation, the selector or state awaited and the time spent.

#include <optional>
#include <string>
#include <vector>

#include "vendro/core/child_process.hpp"
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

// Installing Chromium did not work: the installing program failed or ran out of time, it cannot
// run here (not root, a system without automatic installation), or afterwards still no browser
// is found. The message says why and the command to run by hand; the installing program's own
// report stays available for callers that summarise it.
class InstallError : public BrowserError {
 public:
  static constexpr std::string_view CODE = "BROWSER_INSTALL_ERROR";
  // `command` is the installing command concerned; `run` how it ended, absent when none ran.
  InstallError(const std::string& message, std::vector<std::string> command,
               std::optional<process::RunResult> run = std::nullopt)
      : BrowserError(message), command(std::move(command)), run(std::move(run)) {}
  std::string_view code() const noexcept override { return CODE; }

  // What the installing program said: its standard error, else its standard output, else "".
  const std::string& output() const {
    static const std::string none;
    if (!run) return none;
    return run->err.empty() ? run->out : run->err;
  }

  const std::vector<std::string> command;
  const std::optional<process::RunResult> run;
};

// The text shared by every closed-target error, so callers and logs recognise it.
inline constexpr const char* CLOSED_MESSAGE =
    "页面、上下文或浏览器已关闭（Target page, context or browser has been closed）";

}  // namespace vendro::browser
