#pragma once
// One stand-in SellerSprite site on 127.0.0.1 with a fresh configuration directory (and so a
// fresh browser profile), and `vendro seller-sprite ...` run headless against it.

#include <httplib.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "seller_sprite_site.hpp"
#include "support/cli_runner.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/json.hpp"

namespace vendro::testing {

inline constexpr const char* DEMO_USERNAME = "demo";
inline constexpr const char* DEMO_PASSWORD = "demo-pass";

class SiteSession {
 public:
  SiteSession()
      : site_(SellerSpriteSiteOptions{.username = DEMO_USERNAME, .password = DEMO_PASSWORD}) {
    site_.start();
  }

  // Sets modes of the site ("captcha=page&rows=3"); fails the test when the site refuses.
  void mode(const std::string& query) {
    httplib::Client client("127.0.0.1", site_.port());
    auto answer = client.Get("/__standin/set?" + query);
    ASSERT_TRUE(answer) << "stand-in site unreachable";
    ASSERT_EQ(answer->status, 200) << answer->body;
  }

  // The site's counters and the last query each API received.
  Json stats() {
    httplib::Client client("127.0.0.1", site_.port());
    auto answer = client.Get("/__standin/stats");
    if (!answer || answer->status != 200) return nullptr;
    return Json::parse(answer->body);
  }

  // The run as `vendro seller-sprite ARGS --headless` would start it, with the demo account in
  // the environment when `with_account`.
  CliRun command(std::vector<std::string> args, bool with_account = false) const {
    CliRun run;
    run.args = {"seller-sprite"};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.env = {{"VENDRO_CONFIG_DIR", config_.path().string()},
               {"VENDRO_SELLERSPRITE_ORIGIN", site_.origin()},
               {"VENDRO_SELLERSPRITE_OUTPUT_DIR", (config_.path() / "runs").string()},
               {"VENDRO_SELLERSPRITE_USERNAME", std::nullopt},
               {"VENDRO_SELLERSPRITE_PASSWORD", std::nullopt},
               {"DISPLAY", std::nullopt},
               {"WAYLAND_DISPLAY", std::nullopt}};
    if (with_account) {
      run.env["VENDRO_SELLERSPRITE_USERNAME"] = DEMO_USERNAME;
      run.env["VENDRO_SELLERSPRITE_PASSWORD"] = DEMO_PASSWORD;
    }
    return run;
  }

  CliResult run(std::vector<std::string> args, bool with_account = false) const {
    return run_vendro(command(std::move(args), with_account));
  }

  const std::filesystem::path& config_dir() const { return config_.path(); }
  std::filesystem::path run_dir(const std::string& name) const { return config_.path() / name; }
  const SellerSpriteSite& site() const { return site_; }

 private:
  TempDir config_;
  SellerSpriteSite site_;
};

}  // namespace vendro::testing
