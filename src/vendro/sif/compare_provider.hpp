#pragma once
// Sif multi-product compare exports. A run validates the request, creates the run directory,
// records the parameters ("params.json"), downloads one spreadsheet per requested section and
// writes "raw.json" and "result.json" beside them.
//
// Blocking: a run makes one HTTP request per section, one after another. The provider holds only
// its client; several threads may run it at once (into different run directories).

#include <filesystem>
#include <memory>

#include "vendro/core/json.hpp"
#include "vendro/sif/client.hpp"
#include "vendro/sif/models.hpp"

namespace vendro::sif {

struct SifCompareProviderOptions {
  // Used for every run when given. Otherwise a client on the stored settings is made at
  // construction, and runs whose request carries credentials or a timeout get their own client.
  std::shared_ptr<const SifApiClient> client;
};

class SifCompareProvider {
 public:
  // Without a client, reads the stored settings (may throw SifConfigError).
  explicit SifCompareProvider(SifCompareProviderOptions options = {});

  // Runs one export into resolve_root_dir(request.output_dir, default_output_dir, job id).
  // Sections are fetched in the fixed order sales, traffic_words, traffic_score,
  // my_traffic_keywords, my_ad_keywords; unknown section names are recorded but fetch nothing.
  //
  // Throws, before anything is written: InputError for fewer than 2 ASINs or a job id that would
  // leave the output directory; SifSiteNotSupportedError for an unknown site. Later failures
  // (SifApiError, SifExportError, SifConfigError, FileError) end the run where they happen:
  // files already written stay, "raw.json" and "result.json" are not written.
  SifRunResult run(const SifRunRequest& request,
                   const std::filesystem::path& default_output_dir) const;

  // The client a run of `request` uses: the injected one if any; else, when the request carries a
  // username or password, a new client on the stored settings with the request's credentials
  // filling in (each one falling back to the stored value) and the request's timeout; else, when
  // the request carries a timeout, the provider's client settings with that timeout; else the
  // provider's own client.
  std::shared_ptr<const SifApiClient> client_for_request(const SifRunRequest& request) const;

 private:
  bool client_injected_ = false;
  std::shared_ptr<const SifApiClient> client_;
};

// `params` with the values of credential-like members (password, token, cookie, secret; at any
// depth) replaced by "***", so run records never hold secrets.
Json mask_credentials(const Json& params);

}  // namespace vendro::sif
