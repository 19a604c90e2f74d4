#include "vendro/shared/update_check.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>

#include "shared/index_server.hpp"
#include "support/sockets.hpp"
#include "support/temp_dir.hpp"

namespace vendro::shared {
namespace {

using namespace update_check;
using testing::ScopedEnv;
using testing::TempDir;

double unix_now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

using testing::refused_port;

const std::string kPlainHint =
    "\n"
    "vendro 有新版本可用，建议更新最新版本: v1.3.9 → v1.4.0\n"
    "请按以下步骤更新：\n"
    "  1. pip install --upgrade taluno-vendro\n"
    "  2. vendro skills install --force\n"
    "  3. vendro skills upgrade\n"
    "\n";

TEST(UpdateCheckVersions, ParseVersionFollowsTheDocumentedRules) {
  EXPECT_EQ(parse_version("v1.2"), (VersionTuple{1, 2, 0}));
  EXPECT_EQ(parse_version("1.2.3.4"), (VersionTuple{1, 2, 3}));
  EXPECT_EQ(parse_version("1.2.3b1"), (VersionTuple{1, 2, 0}));
  EXPECT_EQ(parse_version("2.0.0rc1"), (VersionTuple{2, 0, 0}));
  EXPECT_EQ(parse_version("3rc1.1"), (VersionTuple{0, 1, 0}));
  EXPECT_EQ(parse_version(""), (VersionTuple{0, 0, 0}));
  EXPECT_EQ(parse_version("  v10.20.30\n"), (VersionTuple{10, 20, 30}));
  EXPECT_EQ(parse_version("vv1.2"), (VersionTuple{0, 2, 0}));
  EXPECT_EQ(parse_version("1..3"), (VersionTuple{1, 0, 3}));
  EXPECT_EQ(parse_version("-1.2"), (VersionTuple{0, 2, 0}));
  EXPECT_EQ(parse_version("99999999999999999999999.1"), (VersionTuple{UINT64_MAX, 1, 0}));
}

TEST(UpdateCheckVersions, NewerMeansAGreaterTuple) {
  EXPECT_TRUE(is_newer_available("1.3.9", "1.4.0"));
  EXPECT_TRUE(is_newer_available("1.9.9", "1.10.0"));
  EXPECT_TRUE(is_newer_available("v0.1.0", "0.1.1"));
  EXPECT_FALSE(is_newer_available("1.4.0", "1.4.0"));
  EXPECT_FALSE(is_newer_available("1.4.0", "1.3.99"));
  EXPECT_FALSE(is_newer_available("1.2.3", "1.2.3.post1"));
  EXPECT_FALSE(is_newer_available("2.0.0", "2.0.0rc1"));
  EXPECT_FALSE(is_newer_available("1.2", "1.2.0"));
}

TEST(UpdateCheckHint, PlainAndColouredRendering) {
  std::ostringstream plain;
  print_update_hint(plain, "1.3.9", "1.4.0", false);
  EXPECT_EQ(plain.str(), kPlainHint);

  std::ostringstream coloured;
  print_update_hint(coloured, "1.3.9", "1.4.0", true);
  EXPECT_EQ(coloured.str(),
            "\n"
            "\x1b[33mvendro 有新版本可用，建议更新最新版本: v1.3.9 → v1.4.0\x1b[0m\n"
            "\x1b[2m请按以下步骤更新：\x1b[0m\n"
            "\x1b[36m  1. pip install --upgrade taluno-vendro\x1b[0m\n"
            "\x1b[36m  2. vendro skills install --force\x1b[0m\n"
            "\x1b[36m  3. vendro skills upgrade\x1b[0m\n"
            "\n");
}

TEST(UpdateCheckHint, RemoteVersionCannotInjectTerminalControls) {
  std::ostringstream out;
  print_update_hint(out, "1.3.9",
                    "1.4.0\x1b]0;pwned\x07\r\n\xc2\x9b"
                    "2J",
                    false);
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
  EXPECT_EQ(out.str().find('\r'), std::string::npos);
  EXPECT_EQ(out.str().find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(out.str().find("v1.4.0]0;pwned2J\n"), std::string::npos) << out.str();
}

TEST(UpdateCheckHint, NoColorOrDumbTerminalTurnsColourOff) {
  {
    ScopedEnv no_color("NO_COLOR", "1");
    EXPECT_FALSE(stderr_wants_colour());
  }
  ScopedEnv no_color("NO_COLOR", std::nullopt);
  ScopedEnv term("TERM", "dumb");
  EXPECT_FALSE(stderr_wants_colour());
}

TEST(UpdateCheckCache, ExactBytes) {
  EXPECT_EQ(format_cache("1.2.3", 1700000000.25),
            R"({"latest_version": "1.2.3", "checked_at": 1700000000.25})");
  EXPECT_EQ(format_cache("2.0版", 1700000000.0),
            R"({"latest_version": "2.0\u7248", "checked_at": 1700000000.0})");

  TempDir dir;
  ScopedEnv config("VENDRO_CONFIG_DIR", (dir.path() / "nested/config").string());
  const double before = unix_now();
  write_cache("1.4.0");
  const double after = unix_now();
  EXPECT_EQ(cache_file(), dir.path() / "nested/config/pypi_version_cache.json");
  const std::string bytes = testing::read_file(cache_file());
  const std::string prefix = R"({"latest_version": "1.4.0", "checked_at": )";
  ASSERT_TRUE(bytes.starts_with(prefix)) << bytes;
  ASSERT_TRUE(bytes.ends_with("}")) << bytes;
  const std::string number = bytes.substr(prefix.size(), bytes.size() - prefix.size() - 1);
  EXPECT_NE(number.find('.'), std::string::npos) << number;
  const double checked_at = std::stod(number);
  EXPECT_GE(checked_at, before - 1e-3);
  EXPECT_LE(checked_at, after + 1e-3);
}

// A config dir, a stand-in index and VENDRO_PACKAGE_INDEX_URL pointing at it.
class UpdateCheck : public ::testing::Test {
 protected:
  UpdateCheck()
      : config_("VENDRO_CONFIG_DIR", dir_.path().string()),
        index_url_("VENDRO_PACKAGE_INDEX_URL", index_.base_url() + "/") {}

  // Runs the check with `installed` as the installed version and returns what it printed.
  std::string check(const std::string& installed) {
    std::ostringstream out;
    check_and_notify({.current_version = installed, .hint_stream = &out, .colour = false});
    return out.str();
  }
  void write_cache_file(const std::string& content) {
    testing::write_file(dir_ / "pypi_version_cache.json", content);
  }
  std::string cache_bytes() { return testing::read_file(dir_ / "pypi_version_cache.json"); }
  bool cache_exists() { return std::filesystem::exists(dir_ / "pypi_version_cache.json"); }

  TempDir dir_;
  ScopedEnv config_;
  test::IndexServer index_;
  ScopedEnv index_url_;
};

TEST_F(UpdateCheck, FreshCacheAnswersWithoutAskingTheIndex) {
  index_.publish("9.9.9");
  write_cache_file(format_cache("1.4.0", unix_now() - 3600));
  EXPECT_EQ(check("1.3.9"), kPlainHint);
  EXPECT_EQ(check("1.4.0"), "");
  // A checked_at in the future also counts as fresh.
  write_cache_file(format_cache("1.4.0", unix_now() + 7 * 86400));
  EXPECT_EQ(check("1.3.9"), kPlainHint);
  EXPECT_EQ(index_.requests(), 0);
}

TEST_F(UpdateCheck, StaleCacheIsRefetchedAndRewritten) {
  index_.publish("1.4.0");
  write_cache_file(format_cache("1.3.0", unix_now() - 86400));
  const double before = unix_now();
  EXPECT_EQ(check("1.3.9"), kPlainHint);
  EXPECT_EQ(index_.requests(), 1);
  Json cache = Json::parse(cache_bytes());
  EXPECT_EQ(cache["latest_version"], "1.4.0");
  EXPECT_GE(cache["checked_at"].get<double>(), before - 1e-3);
  // Now fresh: the next run does not ask again.
  EXPECT_EQ(check("1.3.9"), kPlainHint);
  EXPECT_EQ(index_.requests(), 1);
}

TEST_F(UpdateCheck, UnusableCacheCountsAsAbsent) {
  index_.publish("1.4.0");
  for (const std::string content :
       {R"({"latest_version": "1.4.0", "checked_at": "2026-12-08 10:00:00"})",
        R"({"latest_version": "1.4.0", "checked_at": true})", R"({"latest_version": "1.4.0"})",
        R"(["1.4.0"])", "{broken", ""}) {
    write_cache_file(content);
    const int before = index_.requests();
    EXPECT_EQ(check("1.3.9"), kPlainHint) << content;
    EXPECT_EQ(index_.requests(), before + 1) << content;
    EXPECT_EQ(Json::parse(cache_bytes())["latest_version"], "1.4.0") << content;
  }
}

TEST_F(UpdateCheck, CachedVersionThatIsNotTextEndsTheCheckSilently) {
  index_.publish("9.9.9");
  const std::string content =
      R"({"latest_version": 2, "checked_at": )" + std::to_string(unix_now()) + "}";
  write_cache_file(content);
  EXPECT_EQ(check("1.0.0"), "");
  EXPECT_EQ(index_.requests(), 0);
  EXPECT_EQ(cache_bytes(), content);
}

TEST_F(UpdateCheck, SameVersionTuplesPrintNothingButRefreshTheCache) {
  index_.publish("2.0.0rc1");
  EXPECT_EQ(check("2.0.0"), "");
  EXPECT_EQ(Json::parse(cache_bytes())["latest_version"], "2.0.0rc1");

  std::filesystem::remove(dir_ / "pypi_version_cache.json");
  index_.publish("1.2.0");
  EXPECT_EQ(check("1.2"), "");
  EXPECT_EQ(index_.requests(), 2);
}

TEST_F(UpdateCheck, BadAnswersAreSilentAndLeaveTheCacheAlone) {
  const std::string stale = format_cache("1.0.0", unix_now() - 2 * 86400);
  struct Answer {
    int status;
    std::string body;
  };
  const std::vector<Answer> answers = {
      {404, R"({"message": "Not Found"})"},
      {500, R"({"info": {"version": "9.9.9"}})"},
      {200, "<html>garbage</html>"},
      {200, R"({"releases": {}})"},
      {200, R"({"info": "9.9.9"})"},
      {200, R"({"info": {"name": "taluno-vendro"}})"},
      {200, R"({"info": {"version": 9}})"},
      {200, R"({"info": {"version": null}})"},
      {200, R"(["9.9.9"])"},
  };
  for (const Answer& answer : answers) {
    write_cache_file(stale);
    index_.answer(answer.status, answer.body);
    const int before = index_.requests();
    EXPECT_EQ(check("1.0.0"), "") << answer.body;
    EXPECT_EQ(index_.requests(), before + 1);
    EXPECT_EQ(cache_bytes(), stale) << answer.body;
    EXPECT_EQ(fetch_latest_version(), std::nullopt) << answer.body;
  }
}

TEST_F(UpdateCheck, IndexDownIsSilentAndWritesNoCache) {
  ScopedEnv down("VENDRO_PACKAGE_INDEX_URL", "http://127.0.0.1:" + std::to_string(refused_port()));
  EXPECT_EQ(check("0.0.1"), "");
  EXPECT_FALSE(cache_exists());
}

TEST_F(UpdateCheck, UnwritableConfigDirIsSilent) {
  index_.publish("9.9.9");
  testing::write_file(dir_ / "not-a-dir", "x");
  ScopedEnv config("VENDRO_CONFIG_DIR", (dir_ / "not-a-dir/sub").string());
  EXPECT_EQ(check("1.0.0"), "");
  EXPECT_EQ(index_.requests(), 1);
}

TEST_F(UpdateCheck, MetadataAddressIsTheConfiguredHostPlusTheFixedPath) {
  EXPECT_EQ(metadata_url(), index_.base_url() + "/pypi/taluno-vendro/json");
  ScopedEnv unset("VENDRO_PACKAGE_INDEX_URL", std::nullopt);
  EXPECT_EQ(metadata_url(), "https://pypi.org/pypi/taluno-vendro/json");
}

TEST_F(UpdateCheck, HostileCacheFilesAreRefusedWithoutWaiting) {
  // A FIFO nobody writes to would block a plain read forever; /dev/zero would never end.
  ASSERT_EQ(::mkfifo((dir_ / "pypi_version_cache.json").c_str(), 0600), 0);
  index_.publish("1.4.0");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(check("1.3.9"), "");
  std::filesystem::remove(dir_ / "pypi_version_cache.json");
  std::filesystem::create_symlink("/dev/zero", dir_ / "pypi_version_cache.json");
  EXPECT_EQ(check("1.3.9"), "");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  // A deep cache is unusable like any other broken one.
  std::filesystem::remove(dir_ / "pypi_version_cache.json");
  write_cache_file(std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_EQ(check("1.3.9"), "");
}

TEST(UpdateCheckTimeout, EndlessOrDeepAnswersEndTheCheckQuickly) {
  testing::LocalServer local;
  local.server().Get("/endless/pypi/taluno-vendro/json", [](const httplib::Request&,
                                                            httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [](std::size_t, httplib::DataSink& sink) {
      std::string chunk(64 * 1024, ' ');
      return sink.write(chunk.data(), chunk.size());
    });
  });
  local.server().Get(
      "/deep/pypi/taluno-vendro/json", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"info\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
                        "application/json");
      });
  local.start();
  TempDir dir;
  ScopedEnv config("VENDRO_CONFIG_DIR", dir.path().string());
  for (const char* index : {"/endless", "/deep"}) {
    ScopedEnv index_url("VENDRO_PACKAGE_INDEX_URL", local.base_url() + index);
    std::ostringstream out;
    const auto start = std::chrono::steady_clock::now();
    check_and_notify({.current_version = "0.0.1", .hint_stream = &out});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << index;
    EXPECT_EQ(out.str(), "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "pypi_version_cache.json"));
}

TEST(UpdateCheckTimeout, IndexThatNeverAnswersGivesUpAfterFiveSeconds) {
  testing::RawListener silent;  // the handshake completes, no answer ever comes
  TempDir dir;
  ScopedEnv config("VENDRO_CONFIG_DIR", dir.path().string());
  ScopedEnv index("VENDRO_PACKAGE_INDEX_URL", silent.url(""));

  std::ostringstream out;
  const auto start = std::chrono::steady_clock::now();
  check_and_notify({.current_version = "0.0.1", .hint_stream = &out});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(4500));
  EXPECT_LT(elapsed, std::chrono::seconds(9));
  EXPECT_EQ(out.str(), "");
  EXPECT_FALSE(std::filesystem::exists(dir / "pypi_version_cache.json"));
}

}  // namespace
}  // namespace vendro::shared
