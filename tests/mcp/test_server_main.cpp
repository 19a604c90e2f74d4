// Serves the tests' tool provider over stdio or HTTP, for the client library and conformance
// tests run from CTest:
//   vendro-mcp-test-server stdio [--page-size N] [--max-calls N]
//   vendro-mcp-test-server http [--port N] [--api-key KEY] [--page-size N] [--max-calls N]
// Over HTTP it prints the listening URL on stderr.

#include <cstring>
#include <iostream>
#include <string>

#include "mcp/test_provider.hpp"
#include "vendro/mcp/http_transport.hpp"
#include "vendro/mcp/stdio_transport.hpp"

int main(int argc, char** argv) {
  if (argc < 2 || (std::strcmp(argv[1], "stdio") != 0 && std::strcmp(argv[1], "http") != 0)) {
    std::cerr << "usage: vendro-mcp-test-server stdio|http [--port N] [--api-key KEY] "
                 "[--page-size N] [--max-calls N]\n";
    return 2;
  }
  const bool http = std::strcmp(argv[1], "http") == 0;
  vendro::mcp::HttpOptions http_options;
  vendro::mcp::StdioOptions stdio_options;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--port") {
      http_options.port = std::stoi(value);
    } else if (option == "--api-key") {
      http_options.api_key = value;
    } else if (option == "--page-size") {
      http_options.page_size = stdio_options.page_size = std::stoul(value);
    } else if (option == "--max-calls") {
      http_options.max_calls = stdio_options.max_calls = std::stoul(value);
    } else {
      std::cerr << "unknown option " << option << "\n";
      return 2;
    }
  }
  vendro::testing::TestProvider provider;
  try {
    return http ? vendro::mcp::serve_http(provider, http_options)
                : vendro::mcp::serve_stdio(provider, stdio_options);
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
}
