// Launches a browser the way vendro does and then ends the way it is told, so that tests can
// see what is left behind when the owner of a browser closes it, crashes or is killed.
//
//   browser_lifetime_helper temporary|persistent PROFILE_DIR close|abort|wait
//
// Prints the browser's pid on a line once it runs, then waits for a line (or the end) on stdin
// before it closes the browser or aborts; `wait` waits for a signal instead.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <cstdlib>
#include <iostream>
#include <string>

#include "vendro/browser/blocking.hpp"
#include "vendro/browser/browser.hpp"

using namespace vendro::browser;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: browser_lifetime_helper temporary|persistent PROFILE_DIR "
                 "close|abort|wait\n";
    return 2;
  }
  const std::string kind = argv[1];
  const std::string end = argv[3];
  // A crash on purpose needs no core file in the test's directory.
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);

  asio::io_context io;
  std::shared_ptr<Browser> browser;
  std::shared_ptr<BrowserContext> persistent;
  if (kind == "persistent") {
    const PersistentContextOptions options{.user_data_dir = argv[2]};
    persistent = run_blocking(io, launch_persistent_context(options));
    browser = persistent->browser();
  } else {
    browser = run_blocking(io, launch());
  }
  std::cout << browser->pid() << std::endl;
  if (end != "wait") {
    std::string go;
    std::getline(std::cin, go);
  }

  if (end == "close") {
    if (persistent) {
      run_blocking(io, persistent->close());
    } else {
      run_blocking(io, browser->close());
    }
    return 0;
  }
  if (end == "abort") std::abort();
  for (;;) ::pause();
}
