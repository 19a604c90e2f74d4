#pragma once
// Launching Chromium and the objects that own its tabs: Browser (one process, one DevTools pipe)
// and BrowserContext (an isolated cookie jar and storage; the persistent profile is the default
// context). All coroutines run on the io_context they were started on; nothing is thread-safe.
//
// Ownership: a Browser is shared by its owner; its contexts hold only a weak link back, except
// the persistent context, which owns its browser. Dropping the last owner kills the browser's
// whole process group and removes its temporary files. close() of a browser on a persistent
// profile first asks it to exit politely (so the profile is saved) and kills it after a short
// grace; a browser on a temporary profile has nothing to save and is killed at once.
//
// Inside coroutines, pass options structs as named variables: GCC 12 destroys a braced temporary
// written inside a co_await expression twice. For the same reason awaited operations take no
// default arguments; the shorter overloads stand in for them.

#include <sys/types.h>

#include <asio/awaitable.hpp>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vendro/browser/connection.hpp"
#include "vendro/browser/notifier.hpp"
#include "vendro/browser/page.hpp"
#include "vendro/browser/process.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser {

class BrowserContext;

struct LaunchOptions {
  bool headless = true;
  std::vector<std::string> args;                    // extra Chromium switches
  std::optional<std::filesystem::path> executable;  // default: find_executable()
  long long timeout_ms = DEFAULT_TIMEOUT_MS;        // until the browser answers
};

struct PersistentContextOptions {
  std::filesystem::path user_data_dir;  // created when missing
  bool headless = true;
  std::optional<Viewport> viewport;
  std::optional<std::string> locale;  // e.g. "zh-CN": --lang, Accept-Language, JS locale
  std::vector<std::string> args;
  std::optional<std::filesystem::path> executable;
  long long timeout_ms = DEFAULT_TIMEOUT_MS;
};

struct NewContextOptions {
  // {"cookies": [...], "origins": [{"origin": ..., "localStorage": [{"name", "value"}]}]}, or
  // null. Cookies take the add_cookies() form.
  Json storage_state = nullptr;
  std::optional<Viewport> viewport;
  std::optional<std::string> locale;
};

// Starts a browser with a temporary profile. Throws LaunchError (missing executable: "Executable
// doesn't exist" with the paths tried; the browser exiting or not answering in time, with the end
// of its stderr).
asio::awaitable<std::shared_ptr<class Browser>> launch(LaunchOptions options);
inline asio::awaitable<std::shared_ptr<class Browser>> launch() {
  return launch(LaunchOptions{});
}

// Starts a browser on a profile directory that persists, and returns its default context, whose
// pages() holds the tab the browser opened. Throws ProfileInUseError when a live browser holds the
// profile; a stale lock of a dead one is cleared. Closing the context closes the browser.
asio::awaitable<std::shared_ptr<BrowserContext>> launch_persistent_context(
    PersistentContextOptions options);

class Browser : public std::enable_shared_from_this<Browser> {
 public:
  // Only the launch functions make browsers.
  class Key {
    friend asio::awaitable<std::shared_ptr<Browser>> launch(LaunchOptions options);
    friend asio::awaitable<std::shared_ptr<BrowserContext>> launch_persistent_context(
        PersistentContextOptions options);
    Key() = default;
  };
  Browser(Key, asio::any_io_executor executor);
  ~Browser();

  // A fresh context (no cookies or storage of any other context), filled from `storage_state`.
  // Throws InputError for a storage state that is not an object of cookies and origins.
  asio::awaitable<std::shared_ptr<BrowserContext>> new_context(NewContextOptions options);
  asio::awaitable<std::shared_ptr<BrowserContext>> new_context() {
    return new_context(NewContextOptions{});
  }
  std::vector<std::shared_ptr<BrowserContext>> contexts() const;
  // "Chrome/156.0.8078.129" as the browser reports it.
  const std::string& version() const { return version_; }
  const std::string& user_agent() const { return user_agent_; }
  bool is_connected() const { return connection_ && !connection_->closed(); }
  // Persistent profile: asks the browser to exit, waits for that up to a short grace, then kills
  // its process group. Temporary profile: kills the group at once. Removes the temporary files
  // either way. Idempotent.
  asio::awaitable<void> close();
  // The browser's process id (its process group id too).
  pid_t pid() const { return process_ ? process_->pid() : -1; }

 private:
  friend class BrowserContext;
  friend asio::awaitable<std::shared_ptr<Browser>> launch(LaunchOptions options);
  friend asio::awaitable<std::shared_ptr<BrowserContext>> launch_persistent_context(
      PersistentContextOptions options);

  struct Start {
    std::filesystem::path executable;
    std::vector<std::string> args;
    std::filesystem::path scratch_dir;
    Deadline deadline;
  };
  asio::awaitable<void> start(Start start);
  const std::shared_ptr<Connection>& connection() const { return connection_; }
  void adopt_persistent_context(const std::shared_ptr<BrowserContext>& context);
  // The page attached with `target_id`, once it is set up.
  asio::awaitable<std::shared_ptr<Page>> page_for_target(std::string target_id, Deadline deadline);
  void forget_context(const std::string& id) { contexts_.erase(id); }
  Notifier& pages_changed() { return pages_changed_; }
  // What pages of a context opened here are set up with.
  PageSetup page_setup(std::optional<Viewport> viewport, std::optional<std::string> locale) const;

  void handle_event(std::string_view method, const Json& params);
  void on_attached(const Json& params);
  void on_detached(const Json& params);
  void on_disconnected();
  std::shared_ptr<BrowserContext> context_for(const std::string& id) const;

  asio::any_io_executor executor_;
  std::unique_ptr<BrowserProcess> process_;
  std::shared_ptr<Connection> connection_;
  std::string version_;
  std::string user_agent_;
  bool closing_ = false;
  bool keeps_profile_ = false;  // launched on a persistent profile
  std::optional<ProxyCredentials> proxy_credentials_;
  std::map<std::string, std::shared_ptr<BrowserContext>> contexts_;  // made by new_context
  std::weak_ptr<BrowserContext> persistent_;                         // the default context
  std::map<std::string, std::shared_ptr<Page>> pages_;               // by session id
  Notifier pages_changed_;
};

class BrowserContext : public std::enable_shared_from_this<BrowserContext> {
 public:
  // Only browsers make contexts.
  class Key {
    friend class Browser;
    friend asio::awaitable<std::shared_ptr<BrowserContext>> launch_persistent_context(
        PersistentContextOptions options);
    Key() = default;
  };
  BrowserContext(Key, std::weak_ptr<Browser> browser, std::string id, PageSetup setup);
  ~BrowserContext();

  // The open pages, oldest first.
  std::vector<std::shared_ptr<Page>> pages() const { return pages_; }
  // Opens a blank tab in this context and returns it once it is set up.
  asio::awaitable<std::shared_ptr<Page>> new_page();
  // Adds cookies: each {"name", "value"} plus "url", or "domain" and "path" (default "/");
  // optional "expires" (Unix seconds; -1 or absent: session), "httpOnly", "secure", "sameSite"
  // ("Strict" | "Lax" | "None"). Throws InputError naming the bad cookie.
  asio::awaitable<void> add_cookies(Json cookies);
  // The context's cookies in the same form.
  asio::awaitable<Json> cookies();
  // Closes every page; a persistent context closes its browser. Idempotent.
  asio::awaitable<void> close();
  std::shared_ptr<Browser> browser() const { return browser_.lock(); }
  const std::string& id() const { return id_; }

 private:
  friend class Browser;
  friend asio::awaitable<std::shared_ptr<BrowserContext>> launch_persistent_context(
      PersistentContextOptions options);

  const PageSetup& page_setup() const { return setup_; }
  void add_page(std::shared_ptr<Page> page);
  void remove_page(const std::shared_ptr<Page>& page);
  void keep_browser_alive(std::shared_ptr<Browser> browser) { owner_ = std::move(browser); }
  asio::awaitable<void> set_local_storage(const Json& origins);

  std::weak_ptr<Browser> browser_;
  std::shared_ptr<Browser> owner_;  // persistent contexts own their browser
  std::string id_;                  // empty for the default context
  PageSetup setup_;
  std::vector<std::shared_ptr<Page>> pages_;
  bool closed_ = false;
};

}  // namespace vendro::browser
