#pragma once
// The Sif API client: posts export requests to the Sif keyword service and returns the
// spreadsheet it answers with. Each call blocks until the answer is complete or the timeout
// passes. A client only holds its settings; it is safe to use from several threads at once.
//
// Authentication, per request: the configured cookie goes out as the Cookie header; with both a
// username and a password the account is sent as HTTP Basic authorization, otherwise a token is
// sent as a bearer token.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "vendro/core/json.hpp"
#include "vendro/sif/settings.hpp"

namespace vendro::sif {

inline constexpr std::chrono::milliseconds DEFAULT_SIF_TIMEOUT{std::chrono::seconds(120)};
// The largest spreadsheet accepted. It streams to its file, so this bounds the disk, not memory.
inline constexpr std::size_t SIF_DOWNLOAD_LIMIT = std::size_t(1) << 30;

struct SifApiClientOptions {
  std::optional<SifSettings> settings;               // load_settings() when absent
  std::optional<std::chrono::milliseconds> timeout;  // DEFAULT_SIF_TIMEOUT when absent
};

class SifApiClient {
 public:
  // Reads the stored settings when none are given (may throw SifConfigError).
  explicit SifApiClient(SifApiClientOptions options = {});

  // POSTs `payload` as JSON to base_url + `path` for the site `country` (a Sif site code, sent as
  // the "country" query parameter) and streams the answer into `file` (created or replaced),
  // returning its size. Throws SifApiError when the service cannot be reached (the transport
  // error nested as the cause), answers with an HTTP error status, with JSON (an error) instead of
  // a file, or with more than SIF_DOWNLOAD_LIMIT; SifConfigError when only one of username and
  // password is configured; FileError when `file` cannot be written. On any failure `file` is
  // removed. Messages never carry credentials.
  std::uintmax_t download_post(std::string_view path, const Json& payload, std::string_view country,
                               const std::filesystem::path& file) const;

  const SifSettings& settings() const { return settings_; }
  std::chrono::milliseconds timeout() const { return timeout_; }

 private:
  SifSettings settings_;
  std::chrono::milliseconds timeout_;
};

}  // namespace vendro::sif
