#pragma once
// A stand-in of the Sif keyword service on 127.0.0.1 for tests. It serves the three compare
// export endpoints, checks every posted payload (a 400 JSON error names what is wrong), checks
// the Authorization header when `expected_authorization` is set (401 otherwise), records every
// request, and answers with a small real xlsx workbook. `fail_on_request` = n makes the n-th
// request answer 500 with a JSON error.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/local_server.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/json.hpp"

namespace vendro::testing {

struct SifSeenRequest {
  std::string path;
  std::string country;
  std::string authorization;
  std::string cookie;
  Json payload;
};

class SifStandIn {
 public:
  struct Options {
    std::optional<std::string> expected_authorization;
    int fail_on_request = 0;
  };
  explicit SifStandIn(Options options);
  SifStandIn() : SifStandIn(Options{}) {}

  std::string base_url() const { return server_.base_url(); }
  std::vector<SifSeenRequest> requests() const;

 private:
  Options options_;
  mutable std::mutex mutex_;
  std::vector<SifSeenRequest> requests_;
  LocalServer server_;  // last: stops before the members its handlers use go away
};

// A private CONFIG_DIR and no VENDRO_SIF_* variables, for the life of the object.
class IsolatedSifConfig {
 public:
  IsolatedSifConfig();
  const std::filesystem::path& config_dir() const { return dir_.path(); }
  // Writes CONFIG_DIR/sif/settings.yaml.
  void write_settings(const std::string& yaml) const;

 private:
  TempDir dir_;
  ScopedEnv config_;
  std::vector<std::unique_ptr<ScopedEnv>> cleared_;
};

}  // namespace vendro::testing
