#pragma once
// A tool provider for the tool server's tests (never part of vendro itself): tools that echo,
// fail, throw, take their time with progress, wait to be cancelled, ask the user, show the
// request headers, and enough fillers that tools/list has several pages.

#include <atomic>
#include <vector>

#include "vendro/mcp/tool_provider.hpp"

namespace vendro::testing {

class TestProvider : public mcp::ToolProvider {
 public:
  TestProvider();
  const std::vector<Json>& tools() const override { return tools_; }
  mcp::ToolOutcome call(const std::string& name, const Json& arguments,
                        mcp::CallContext& context) override;

  // Calls whose tool saw its cancellation (the flag and the callback both).
  int cancellations_seen() const { return cancellations_seen_; }
  int calls_running() const { return calls_running_; }

 private:
  mcp::ToolOutcome slow(const Json& arguments, mcp::CallContext& context);
  mcp::ToolOutcome wait_for_cancel(const Json& arguments, mcp::CallContext& context);
  mcp::ToolOutcome ask(const Json& arguments, mcp::CallContext& context);

  std::vector<Json> tools_;
  std::atomic<int> cancellations_seen_{0};
  std::atomic<int> calls_running_{0};
};

}  // namespace vendro::testing
