// `vendro mcp`: every command of the table as a tool of an MCP server, over standard input and
// output, or over HTTP on a loopback address (elsewhere only with an API key).

#include <memory>
#include <string>
#include <vector>

#include "vendro/cli/mcp_command.hpp"
#include "vendro/cli/table_tools.hpp"
#include "vendro/commands/command_table.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/text.hpp"
#include "vendro/mcp/http_transport.hpp"
#include "vendro/mcp/stdio_transport.hpp"

namespace vendro::cli {

namespace {

constexpr std::size_t API_KEY_FILE_LIMIT = 4096;

struct McpArgs {
  std::string http;
  std::string api_key_file;
  std::vector<std::string> allowed_origins;
  std::vector<std::string> allowed_hosts;
};

// "127.0.0.1:8765", "[::1]:8765", "0.0.0.0:8765": the address and the port.
std::pair<std::string, int> split_listen_address(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string port_text = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  int port = -1;
  if (!port_text.empty() && port_text.size() <= 5 &&
      port_text.find_first_not_of("0123456789") == std::string::npos) {
    port = std::stoi(port_text);
  }
  if (host.empty() || port < 0 || port > 65535) {
    throw InputError("--http 须是 地址:端口，例如 127.0.0.1:8765，收到「" + text + "」");
  }
  return {host, port};
}

std::string read_api_key(const std::string& path) {
  const std::string key = text::strip(files::read(expand_home(path), API_KEY_FILE_LIMIT));
  if (key.empty()) throw InputError("API 密钥文件是空的：" + path);
  return key;
}

}  // namespace

void add_mcp_command(CLI::App& app, Action& selected) {
  auto args = std::make_shared<McpArgs>();
  CLI::App* mcp = app.add_subcommand(
      "mcp",
      "以 MCP 工具服务器运行：vendro 的每个命令都是一个工具，供 AI 助手调用。\n"
      "默认通过标准输入输出通信（每行一条 JSON-RPC 消息）；--http 时在该地址的 /mcp 提供 "
      "Streamable HTTP 传输。");
  mcp->add_option("--http", args->http,
                  "在 地址:端口 上提供 HTTP 传输，如 127.0.0.1:8765；非回环地址必须配合 "
                  "--api-key-file");
  mcp->add_option("--api-key-file", args->api_key_file,
                  "API 密钥文件：客户端须在每个请求中带上 Authorization: Bearer 密钥");
  mcp->add_option("--allow-origin", args->allowed_origins,
                  "额外允许的浏览器来源（Origin），如 https://app.example.com；可重复");
  mcp->add_option("--allow-host", args->allowed_hosts,
                  "除回环地址与监听地址外，客户端可用的主机名（Host），如监听 0.0.0.0 时的本机名；"
                  "可重复");
  mcp->footer(
      "工具名为 组_命令（- 换成 _），如 keepa_convert、sif_compare、seller_sprite_collect、"
      "rufus_ask；上传文件为 upload_file。参数名与命令行选项相同（- 换成 _）。\n"
      "服务器不做更新检查；标准输出只用于协议消息，其他输出都在标准错误。");
  mcp->callback([args, &selected] {
    selected = [args]() -> int {
      static TableTools tools(commands::command_table());
      if (args->http.empty()) {
        if (!args->api_key_file.empty() || !args->allowed_origins.empty() ||
            !args->allowed_hosts.empty()) {
          throw InputError("--api-key-file、--allow-origin 与 --allow-host 只用于 --http");
        }
        return mcp::serve_stdio(tools, {});
      }
      const auto [host, port] = split_listen_address(args->http);
      mcp::HttpOptions options{.host = host, .port = port};
      if (!args->api_key_file.empty()) options.api_key = read_api_key(args->api_key_file);
      options.allowed_origins = args->allowed_origins;
      options.allowed_hosts = args->allowed_hosts;
      return mcp::serve_http(tools, options);
    };
  });
}

}  // namespace vendro::cli
