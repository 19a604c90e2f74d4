#pragma once
// The command table as MCP tools: one tool per command, its input schema generated from the
// command's params, its run given a context that reports progress to the caller, asks the person
// through the client (elicitation) and stops when the call is cancelled.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vendro/commands/command_table.hpp"
#include "vendro/core/http_client.hpp"
#include "vendro/mcp/tool_provider.hpp"

namespace vendro::cli {

class TableTools final : public mcp::ToolProvider {
 public:
  explicit TableTools(const std::vector<commands::Command>& table);

  const std::vector<Json>& tools() const override;

  // Runs the command named by tool `name`. Arguments it refuses and failures of the command are
  // outcomes with is_error and the Chinese message with its code; calls of commands that share a
  // resource wait for each other (until cancelled).
  mcp::ToolOutcome call(const std::string& name, const Json& arguments,
                        mcp::CallContext& context) override;

 private:
  std::vector<Json> tools_;
  std::map<std::string, const commands::Command*> by_name_;
  std::mutex resources_mutex_;
  std::map<std::string, std::unique_ptr<std::timed_mutex>> resources_;

  std::timed_mutex& resource(const std::string& name);
};

// A tool's listing: name, title, description, input schema, output schema when the result has a
// fixed object shape, and annotations.
Json tool_listing(const commands::Command& command);

// The request headers a tool call passes on: the names of the ones vendro knows matched without
// regard to case and spelled its way ("x-mcp-api-key" becomes "X-MCP-API-Key"), others as sent.
http::NameValues passed_on_headers(const mcp::Headers& headers);

}  // namespace vendro::cli
