#pragma once
// The installation self-check behind `vendro browser check`: which executable a launch would use,
// its version, and whether a headless launch and a page load work.

#include "vendro/core/json.hpp"

namespace vendro::browser {

// The Chinese advice for installing a browser (Debian and macOS).
extern const char* const INSTALL_HINT;

// Returns {"ok", "executable", "version", "headless_launch", "page_load", "error", "hint"}:
// "executable" and "version" are null when unknown, "error" is the first failure's message (or
// null) and "hint" says how to install a browser when none was found (or null). Never throws for
// a broken installation. The version probe is bounded to about 3 seconds and the launch to 15,
// so an executable that hangs or floods its output costs about 20 seconds; a browser that starts
// but then stops answering can take longer. Whatever the executable started is gone on return.
Json check_installation();

}  // namespace vendro::browser
