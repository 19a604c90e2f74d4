#pragma once
// The tool server over standard input and output: one JSON-RPC message per line (UTF-8, no
// embedded newlines), in both directions.

#include <chrono>
#include <cstddef>

#include "vendro/mcp/tool_provider.hpp"

namespace vendro::mcp {

struct StdioOptions {
  // Where messages come from.
  int input_fd = 0;
  // Where messages go. -1: a duplicate of standard output made before anything else, after
  // which fd 1 is pointed at standard error, so that no stray byte of a library, a tool or a
  // child process reaches the protocol stream. The duplicate is not inherited by children.
  int output_fd = -1;
  // Tools per tools/list page.
  std::size_t page_size = 16;
  // Tool calls running at once; more are refused with -32603.
  std::size_t max_calls = 8;
  // How long calls still running when input ends may take to finish after being cancelled.
  std::chrono::milliseconds shutdown_grace = std::chrono::seconds(10);
};

// Serves `provider` until the input ends (end of file or a read error), then cancels the calls
// in flight and waits for them (at most shutdown_grace) and returns 0. Writes are serialised;
// once the output is gone (EPIPE) further messages are dropped. SIGPIPE is set to ignored when
// it is at its default. A line longer than MAX_MESSAGE_BYTES is answered with -32700 and
// skipped. Blocks the calling thread.
int serve_stdio(ToolProvider& provider, StdioOptions options = {});

}  // namespace vendro::mcp
