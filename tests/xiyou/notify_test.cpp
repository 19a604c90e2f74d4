#include "vendro/xiyou/notify.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/temp_dir.hpp"
#include "vendro/core/yaml.hpp"
#include "vendro/xiyou/credentials.hpp"
#include "vendro/xiyou/state_file.hpp"
#include "xiyou/jwt_fixture.hpp"
#include "xiyou/robot_stand_in.hpp"

namespace vendro::xiyou {
namespace {

using testing::read_file;
using testing::RobotStandIn;
using testing::SilentRobot;
using testing::TempDir;
using testing::write_file;

double unix_now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

class NotifyTest : public ::testing::Test {
 protected:
  void configure(const std::string& yaml) { write_file(config_path(), yaml); }
  void configure_robot(const std::string& url, const std::string& extra = "") {
    configure("wechat_work:\n  webhook_url: '" + url + "'\n" + extra);
  }
  std::filesystem::path config_path() const { return dir_ / "xiyou" / "notify.yaml"; }
  std::filesystem::path state_path() const { return dir_ / "xiyou" / "notify_state.json"; }
  XiyouSettings settings(std::string authorization = "") const {
    return {.notify_path = config_path(), .authorization = std::move(authorization)};
  }
  Json notify(NotifyOptions options) {
    if (!options.settings) options.settings = settings();
    return notify_token_required(options);
  }
  Json state() const { return Json::parse(read_file(state_path())); }

  TempDir dir_;
  RobotStandIn robot_;
};

TEST_F(NotifyTest, SendsOnceThenStaysQuietUnlessForced) {
  configure_robot(robot_.webhook_url());
  NotifyOptions alert{.reason = "api_error", .status_code = 403, .business_code = "Forbidden"};

  double before = unix_now();
  EXPECT_EQ(notify(alert), (Json{{"sent", true}, {"dedupe_key", "api_error:403:Forbidden"}}));
  ASSERT_EQ(robot_.count(), 1u);
  EXPECT_EQ(robot_.content_types().at(0), "application/json");
  EXPECT_EQ(robot_.keys().at(0), "k-1");

  // The state file lies beside the configuration: 2-space JSON, no trailing newline.
  std::string text = read_file(state_path());
  EXPECT_TRUE(text.starts_with("{\n  \"api_error:403:Forbidden\": ")) << text;
  EXPECT_FALSE(text.ends_with("\n"));
  Json recorded = state()["api_error:403:Forbidden"];
  ASSERT_TRUE(recorded.is_number_float());
  EXPECT_GE(recorded.get<double>(), before - 1);

  EXPECT_EQ(
      notify(alert),
      (Json{{"sent", false}, {"reason", "deduped"}, {"dedupe_key", "api_error:403:Forbidden"}}));
  EXPECT_EQ(robot_.count(), 1u);

  alert.force = true;
  EXPECT_EQ(notify(alert)["sent"], true);
  EXPECT_EQ(robot_.count(), 2u);
  EXPECT_EQ(read_file(state_path()), text);  // force leaves the state alone

  // Another key is not suppressed, and both entries are kept.
  EXPECT_EQ(notify({.reason = "api_error", .status_code = 500}),
            (Json{{"sent", true}, {"dedupe_key", "api_error:500:"}}));
  Json both = state();
  EXPECT_TRUE(both.contains("api_error:403:Forbidden"));
  EXPECT_TRUE(both.contains("api_error:500:"));
}

TEST_F(NotifyTest, QuietWindowFollowsTheStateEntries) {
  configure_robot(robot_.webhook_url(), "dedupe_minutes: 2\n");
  double now = unix_now();
  write_state(state_path(), {{"token_required", now - 119},
                             {"old::", now - 121},
                             {"future::", now + 3600},
                             {"text::", "1999"},
                             {"keep", "untouched"}});
  EXPECT_EQ(notify({.reason = "jwt_expired"})["reason"], "deduped");
  EXPECT_EQ(notify({.reason = "future"})["reason"], "deduped");
  EXPECT_EQ(notify({.reason = "old"})["sent"], true);
  EXPECT_EQ(notify({.reason = "text"})["sent"], true);
  EXPECT_EQ(robot_.count(), 2u);
  Json after = state();
  EXPECT_GT(after["old::"].get<double>(), now - 1);
  EXPECT_TRUE(after["text::"].is_number());
  EXPECT_EQ(after["keep"], "untouched");
}

TEST_F(NotifyTest, BrokenStateFileCountsAsEmptyAndIsRewritten) {
  configure_robot(robot_.webhook_url());
  for (std::string broken : {"", "{not json", "[1, 2]", "\"text\""}) {
    write_file(state_path(), broken);
    EXPECT_EQ(notify({.reason = "jwt_expired"})["sent"], true) << broken;
    EXPECT_TRUE(state().contains("token_required"));
  }
  // A state path that cannot be read is an error, not an empty state.
  std::filesystem::remove(state_path());
  std::filesystem::create_directories(state_path());
  EXPECT_THROW(notify({.reason = "jwt_expired"}), FileError);
}

// The message went out, then the state could not be written (here the state file turns into a
// directory during the send): the result says it was sent, with the reason it was not recorded.
TEST_F(NotifyTest, AnAlertSentButNotRecordedStillSaysSent) {
  configure_robot(robot_.webhook_url());
  NotifyOptions alert{.reason = "api_error", .status_code = 500};
  alert.http_post = [&](const std::string&, const Json&, std::chrono::milliseconds) {
    std::filesystem::create_directories(state_path() / "in-the-way");
    return PostResponse{.status_code = 200, .text = R"({"errcode":0})"};
  };
  const Json result = notify(alert);
  EXPECT_EQ(result["sent"], true);
  EXPECT_EQ(result["dedupe_key"], "api_error:500:");
  ASSERT_TRUE(result.contains("state_error")) << result;
  EXPECT_NE(result["state_error"].get<std::string>().find(state_path().string()), std::string::npos)
      << result;
}

// In a shared directory with the sticky bit, another user may not replace the state file that
// root owns, nor (in a closed directory) create the temporary file; it still may write the file
// itself, which it does instead. The directory lock needs nothing but read access.
TEST_F(NotifyTest, StateIsWrittenInPlaceWhenTheDirectoryRefusesTheReplacement) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
  for (const auto mode : {std::filesystem::perms(01777), std::filesystem::perms(0755)}) {
    const auto shared = dir_ / "shared";
    std::filesystem::create_directories(shared);
    write_file(shared / "notify_state.json", R"({"old::": 1.5})");
    std::filesystem::permissions(shared / "notify_state.json", std::filesystem::perms(0666));
    std::filesystem::permissions(shared, mode);
    const pid_t child = ::fork();
    if (child == 0) {
      int code = 0;
      try {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        StateLock lock(shared / "notify_state.json");
        write_state(shared / "notify_state.json", Json{{"old::", 1.5}, {"new::", 2.5}});
      } catch (...) {
        code = 1;
      }
      ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Json::parse(read_file(shared / "notify_state.json")),
              (Json{{"old::", 1.5}, {"new::", 2.5}}));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(shared)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"notify_state.json"});
    std::filesystem::remove_all(shared);
  }
}

TEST_F(NotifyTest, WithoutWebhookNothingIsSentOrWritten) {
  EXPECT_EQ(notify({.reason = "jwt_expired", .force = true}),
            (Json{{"sent", false}, {"reason", "not_configured"}}));
  configure("webhook_url: '  '\nmentions: {mention_all: true}\n");
  EXPECT_EQ(notify({.reason = "jwt_expired"})["reason"], "not_configured");
  EXPECT_FALSE(std::filesystem::exists(state_path()));
  configure("webhook_url: [broken\n");
  EXPECT_THROW(notify({.reason = "jwt_expired"}), yaml::YamlError);
  EXPECT_EQ(robot_.count(), 0u);
}

TEST_F(NotifyTest, MessageCarriesTheSevenLinesAndMentions) {
  configure_robot(robot_.webhook_url(),
                  "mentions:\n  mentioned_list: [ops1]\n  mentioned_mobile_list: [13800138000]\n"
                  "  mention_all: true\n");
  // 2026-03-01T08:00:00Z
  std::string token = testing::make_jwt({{"exp", 1772352000}, {"sub", "u"}});
  notify({.reason = "api_error",
          .status_code = 0,
          .business_code = "TokenExpired",
          .settings = settings("Bearer " + token)});
  ASSERT_EQ(robot_.count(), 1u);
  EXPECT_EQ(robot_.messages().at(0),
            (Json{{"msgtype", "text"},
                  {"text",
                   {{"content",
                     "西柚 token 失效/即将过期\n"
                     "原因：api_error\n"
                     "HTTP 状态：0\n"
                     "业务码：TokenExpired\n"
                     "当前过期时间：2026-03-01T08:00:00+00:00\n"
                     "阻塞业务：-\n"
                     "处理方式：登录运营系统后台，人工更新西柚 token/cookie。"},
                    {"mentioned_list", {"ops1", "@all"}},
                    {"mentioned_mobile_list", {"13800138000"}}}}}));

  configure_robot(robot_.webhook_url(), "quick_login_url: https://ops.test/xiyou\n");
  notify({.reason = "jwt_expired",
          .job_id = "job-7",
          .expires_at = "明天",
          .settings = settings(token),
          .force = true});
  EXPECT_EQ(robot_.messages().at(1), (Json{{"msgtype", "text"},
                                           {"text",
                                            {{"content",
                                              "西柚 token 失效/即将过期\n"
                                              "原因：jwt_expired\n"
                                              "HTTP 状态：-\n"
                                              "业务码：-\n"
                                              "当前过期时间：明天\n"
                                              "阻塞业务：job-7\n"
                                              "运营后台补登：https://ops.test/xiyou"}}}}));
}

TEST_F(NotifyTest, EveryRobotAnswerGivesItsResult) {
  configure_robot(robot_.webhook_url());
  std::string long_body;
  std::string first_500;
  for (int i = 0; i < 1000; ++i) long_body += "错e";  // 2,000 characters, 4,000 bytes
  for (int i = 0; i < 250; ++i) first_500 += "错e";
  struct Case {
    int status;
    std::string body;
    std::string content_type;
    Json expected;
  };
  const Json sent = {{"sent", true}, {"dedupe_key", "r::"}};
  const std::vector<Case> cases = {
      {200, "<html><body>ok</body></html>", "text/html", sent},
      {200, "", "text/plain", sent},
      {200, "[1,2]", "application/json", sent},
      {200, R"({"errcode":0,"errmsg":"ok"})", "application/json", sent},
      {200, R"({"errcode":null})", "application/json", sent},
      {200, R"({"errcode":"0"})", "application/json", sent},
      {200,
       R"({"errcode":93000,"errmsg":"invalid webhook url"})",
       "application/json",
       {{"sent", false},
        {"reason", "wecom_error"},
        {"errcode", 93000},
        {"errmsg", "invalid webhook url"}}},
      {200,
       R"({"errcode":"45009"})",
       "application/json",
       {{"sent", false}, {"reason", "wecom_error"}, {"errcode", "45009"}, {"errmsg", nullptr}}},
      {502,
       long_body,
       "text/plain",
       {{"sent", false}, {"reason", "http_error"}, {"status_code", 502}, {"response", first_500}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    robot_.answer(c.status, c.body, c.content_type);
    Json result = notify({.reason = "r", .force = true});
    EXPECT_EQ(result, c.expected);
  }
  robot_.answer(200, R"({"errcode":"abc"})");
  Json failed = notify({.reason = "r", .force = true});
  EXPECT_EQ(failed["reason"], "send_failed");
  EXPECT_NE(failed["error"].get<std::string>().find("abc"), std::string::npos);
  // No failed or forced send touched the state.
  EXPECT_FALSE(std::filesystem::exists(state_path()));
}

TEST_F(NotifyTest, DeepOrHugeRobotAnswersAreFailedSends) {
  configure_robot(robot_.webhook_url());
  const std::string deep_errmsg =
      R"({"errcode":93000,"errmsg":)" + std::string(50000, '[') + std::string(50000, ']') + "}";
  const std::string huge =
      R"({"errcode":0,"errmsg":")" + std::string(ROBOT_ANSWER_LIMIT, 'x') + "\"}";
  for (const auto& [body, expected] : {std::pair{deep_errmsg, "嵌套过深"}, {huge, "过大"}}) {
    robot_.answer(200, body);
    Json result = notify({.reason = "r", .force = true});
    EXPECT_EQ(result["reason"], "send_failed");
    EXPECT_NE(result["error"].get<std::string>().find(expected), std::string::npos)
        << result["error"];
  }
}

TEST_F(NotifyTest, UnreachableOrSilentRobotIsASendFailure) {
  configure_robot("http://127.0.0.1:1/cgi-bin/webhook/send?key=secret");
  Json refused = notify({.reason = "jwt_expired"});
  EXPECT_EQ(refused["reason"], "send_failed");
  EXPECT_EQ(refused["error"].get<std::string>().find("secret"), std::string::npos);

  SilentRobot silent;
  configure_robot(silent.webhook_url());
  auto started = std::chrono::steady_clock::now();
  Json timed_out = notify({.reason = "jwt_expired"});
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(timed_out["sent"], false);
  EXPECT_EQ(timed_out["reason"], "send_failed");
  EXPECT_NE(timed_out["error"].get<std::string>().find("超时"), std::string::npos);
  EXPECT_GE(seconds, 4.9);
  EXPECT_LT(seconds, 15.0);  // generous: sanitizer builds on a loaded machine are slow
  EXPECT_FALSE(std::filesystem::exists(state_path()));
}

TEST_F(NotifyTest, ReplacementPostOperation) {
  configure_robot("https://robot.invalid/send");
  std::string seen_url;
  std::chrono::milliseconds seen_timeout{0};
  Json sent = notify({.reason = "r",
                      .http_post = [&](const std::string& url, const Json& body,
                                       std::chrono::milliseconds timeout) {
                        seen_url = url;
                        seen_timeout = timeout;
                        EXPECT_EQ(body["msgtype"], "text");
                        return PostResponse{};  // no status, no body: a plain success
                      }});
  EXPECT_EQ(sent, (Json{{"sent", true}, {"dedupe_key", "r::"}}));
  EXPECT_EQ(seen_url, "https://robot.invalid/send");
  EXPECT_EQ(seen_timeout, std::chrono::milliseconds(5000));

  Json thrown = notify({.reason = "other", .http_post = [](auto&&...) -> PostResponse {
                          throw std::runtime_error("boom");
                        }});
  EXPECT_EQ(thrown, (Json{{"sent", false}, {"reason", "send_failed"}, {"error", "boom"}}));
}

TEST(DedupeKey, TokenInvalidSignalsShareOneKey) {
  EXPECT_EQ(dedupe_key("anything", 401, nullptr), "token_required");
  EXPECT_EQ(dedupe_key("x", 200, "TokenExpired"), "token_required");
  EXPECT_EQ(dedupe_key("x", std::nullopt, "TokenFreeTrialExpired"), "token_required");
  EXPECT_EQ(dedupe_key("jwt_expired", std::nullopt, nullptr), "token_required");
  EXPECT_EQ(dedupe_key("api_error", 403, "Forbidden"), "api_error:403:Forbidden");
  EXPECT_EQ(dedupe_key("api_error", 403, "tokeninvalid"), "api_error:403:tokeninvalid");
  EXPECT_EQ(dedupe_key("api_error", 0, 0), "api_error::");
  EXPECT_EQ(dedupe_key("api_error", std::nullopt, 7), "api_error::7");
  EXPECT_EQ(dedupe_key("r", std::nullopt, nullptr), "r::");

  EXPECT_TRUE(is_token_invalid_signal(401, "whatever"));
  EXPECT_TRUE(is_token_invalid_signal(std::nullopt, "TokenInvalid"));
  EXPECT_FALSE(is_token_invalid_signal(400, nullptr));
  EXPECT_FALSE(is_token_invalid_signal(403, "TOKENINVALID"));
  EXPECT_FALSE(is_token_invalid_signal(std::nullopt, Json::array({"TokenInvalid"})));
}

TEST(CurrentExpiresAt, ReadsTheStoredTokensExpiry) {
  auto at = [](const std::string& token) {
    return current_expires_at({.notify_path = "x", .authorization = token});
  };
  EXPECT_EQ(at(testing::make_jwt({{"exp", 1772352000}})), "2026-03-01T08:00:00+00:00");
  EXPECT_EQ(at(testing::make_jwt({{"exp", 0}})), "1970-01-01T00:00:00+00:00");
  EXPECT_EQ(at(testing::make_jwt({{"exp", 1772352000.5}})), std::nullopt);
  EXPECT_EQ(at(testing::make_jwt({{"exp", "1772352000"}})), std::nullopt);
  EXPECT_EQ(at(testing::make_jwt({{"exp", 253402300800LL}})), std::nullopt);  // year 10000
  EXPECT_EQ(at(testing::make_jwt({{"sub", "no exp"}})), std::nullopt);
  EXPECT_EQ(at(""), std::nullopt);
  EXPECT_EQ(at("not-a-token"), std::nullopt);
}

TEST(DecodeJwtPayload, DecodesBase64UrlJsonObjects) {
  Json claims = {{"exp", 1}, {"名字", "运营"}, {"bits", "?\\?>>~~"}};
  EXPECT_EQ(decode_jwt_payload(testing::make_jwt(claims)), claims);
  EXPECT_EQ(decode_jwt_payload(" Bearer " + testing::make_jwt(claims)), claims);
  std::string padded = "h." + testing::base64url(R"({"a":1})") + "==.s";
  EXPECT_EQ(decode_jwt_payload(padded), (Json{{"a", 1}}));
  for (std::string bad : std::vector<std::string>{"", "abc", "a.b", "a.!!!.c", "a.A.c",
                                                  "a." + testing::base64url("[1]") + ".c",
                                                  "a." + testing::base64url("not json") + ".c"}) {
    EXPECT_THROW(decode_jwt_payload(bad), TokenDecodeError) << bad;
  }
}

}  // namespace
}  // namespace vendro::xiyou
