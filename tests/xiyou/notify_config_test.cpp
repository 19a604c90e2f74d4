#include "vendro/xiyou/notify_config.hpp"

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/yaml.hpp"

namespace vendro::xiyou {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;

class NotifyConfigTest : public ::testing::Test {
 protected:
  XiyouNotifyConfig load(const std::string& yaml) {
    write_file(path_, yaml);
    return load_notify_config(XiyouSettings{.notify_path = path_});
  }

  TempDir dir_;
  std::filesystem::path path_ = dir_ / "cfg" / "notify.yaml";
};

TEST_F(NotifyConfigTest, OnlyAWebhookGivesAnEnabledRecordWithDefaults) {
  auto config = load("webhook_url: https://robot.test/send?key=k\n");
  EXPECT_TRUE(config.enabled());
  EXPECT_EQ(config.webhook_url, "https://robot.test/send?key=k");
  EXPECT_TRUE(config.mentioned_list.empty());
  EXPECT_TRUE(config.mentioned_mobile_list.empty());
  EXPECT_FALSE(config.mention_all);
  EXPECT_EQ(config.quick_login_url, std::nullopt);
  EXPECT_EQ(config.dedupe_minutes, 5);
  EXPECT_EQ(config.source, "local");
  EXPECT_EQ(config.path, path_);
  EXPECT_EQ(config.state_path(), dir_ / "cfg" / "notify_state.json");
}

TEST_F(NotifyConfigTest, WebhookChoiceHappensBeforeCleaning) {
  EXPECT_EQ(load("wechat_work: not-a-map\nwebhook_url: https://top\n").webhook_url, "https://top");
  EXPECT_EQ(load("wechat_work: {webhook_url: ' https://nested '}\nwebhook_url: https://top\n")
                .webhook_url,
            "https://nested");
  EXPECT_EQ(load("wechat_work: {webhook_url: ''}\nwebhook_url: https://top\n").webhook_url,
            "https://top");
  // Blank text is truthy, wins, and then cleans to nothing.
  auto blank = load("wechat_work: {webhook_url: '   '}\nwebhook_url: https://top\n");
  EXPECT_EQ(blank.webhook_url, std::nullopt);
  EXPECT_FALSE(blank.enabled());
}

TEST_F(NotifyConfigTest, QuickLoginFallsBackToTheAdminAddress) {
  EXPECT_EQ(load("quick_login_url: ''\nadmin_login_url: '  https://ops/login  '\n").quick_login_url,
            "https://ops/login");
  EXPECT_EQ(load("quick_login_url: https://q\nadmin_login_url: https://a\n").quick_login_url,
            "https://q");
  EXPECT_EQ(load("admin_login_url: 8080\n").quick_login_url, "8080");
}

TEST_F(NotifyConfigTest, DedupeMinutesAcceptsOnlyPositiveIntegers) {
  const std::vector<std::pair<std::string, long long>> cases = {
      {"0", 5},
      {"-3", 5},
      {"null", 5},
      {"abc", 5},
      {"'15'", 15},
      {"2.9", 2},
      {"' +15 '", 15},
      {"'1_5'", 15},
      {"1_5", 15},
      {"'5.0'", 5},
      {"'1__5'", 5},
      {"'_15'", 5},
      {"true", 1},
      {"[3]", 5},
      {"{a: 1}", 5},
      {"'-7'", 5},
      {".inf", 5},
      {"'99999999999999999999'", 5},
      {"99999999999999999999", 5},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(load("dedupe_minutes: " + value + "\n").dedupe_minutes, expected) << value;
  }
}

TEST_F(NotifyConfigTest, MentionsAreCleanedAndAllIsAppended) {
  auto config = load("mentions:\n  mentioned_list: ' u1 '\n  mention_all: true\n");
  EXPECT_EQ(config.mentioned_list, (std::vector<std::string>{"u1", "@all"}));
  EXPECT_TRUE(config.mention_all);

  auto twice = load("mentions:\n  mentioned_list: ['@all']\n  mention_all: yes\n");
  EXPECT_EQ(twice.mentioned_list, (std::vector<std::string>{"@all", "@all"}));

  // A bare eleven-digit mobile number is a YAML integer; its text form is its digits.
  auto mixed = load(
      "mentions:\n"
      "  mentioned_mobile_list:\n"
      "    - 13800138000\n"
      "    - '  '\n"
      "    - ' 13900139000 '\n"
      "  mentioned_list: [zhang, zhang, true, 1.5, 1e+16, ~, '']\n"
      "  mention_all: 0\n");
  EXPECT_EQ(mixed.mentioned_mobile_list, (std::vector<std::string>{"13800138000", "13900139000"}));
  EXPECT_EQ(mixed.mentioned_list,
            (std::vector<std::string>{"zhang", "zhang", "True", "1.5", "1e+16", "None"}));
  EXPECT_FALSE(mixed.mention_all);

  // Mentions given as anything but a map are ignored, and so are non-list values.
  EXPECT_TRUE(load("mentions: [a, b]\n").mentioned_list.empty());
  EXPECT_TRUE(load("mentions: {mentioned_list: 42}\n").mentioned_list.empty());
}

TEST_F(NotifyConfigTest, EmptyOrMissingOrNonMapFilesGiveTheDefaults) {
  XiyouNotifyConfig missing = load_notify_config(XiyouSettings{.notify_path = path_});
  EXPECT_FALSE(missing.enabled());
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_EQ(load(""), missing);
  EXPECT_EQ(load("# only a comment\n"), missing);
  EXPECT_EQ(load("- a\n- b\n"), missing);
  EXPECT_EQ(load("just text\n"), missing);
  EXPECT_NE(load("webhook_url: x\n"), missing);
}

TEST_F(NotifyConfigTest, MalformedOrObjectBuildingYamlIsAnError) {
  EXPECT_THROW(load("webhook_url: [unclosed\n"), yaml::YamlError);
  EXPECT_THROW(load("webhook_url: !!python/object/apply:os.system ['id']\n"), yaml::YamlError);
  EXPECT_THROW(load("webhook_url: !custom x\n"), yaml::YamlError);
  // A directory where the file should be cannot be read.
  std::filesystem::remove(path_);
  std::filesystem::create_directories(path_);
  EXPECT_THROW(load_notify_config(XiyouSettings{.notify_path = path_}), FileError);
}

TEST_F(NotifyConfigTest, SettingsNameTheFileAndTildeIsExpanded) {
  ScopedEnv home("HOME", dir_.path().string());
  ScopedEnv config_dir("VENDRO_CONFIG_DIR", (dir_ / "conf").string());
  ScopedEnv authorization("VENDRO_XIYOU_AUTHORIZATION", std::nullopt);
  {
    ScopedEnv notify_path("VENDRO_XIYOU_NOTIFY_PATH", "~/cfg/notify.yaml");
    write_file(path_, "webhook_url: https://from-home\n");
    auto config = load_notify_config();
    EXPECT_EQ(config.path, path_);
    EXPECT_EQ(config.webhook_url, "https://from-home");
  }
  ScopedEnv notify_path("VENDRO_XIYOU_NOTIFY_PATH", std::nullopt);
  write_file(dir_ / "conf" / "xiyou" / "settings.yaml", "authorization: ' stored-token '\n");
  XiyouSettings settings = load_settings();
  EXPECT_EQ(settings.notify_path, dir_ / "conf" / "xiyou" / "notify.yaml");
  EXPECT_EQ(settings.authorization, "stored-token");
  ScopedEnv from_env("VENDRO_XIYOU_AUTHORIZATION", "env-token");
  EXPECT_EQ(load_settings().authorization, "env-token");
}

TEST(TextForm, MatchesHowValuesReadAsText) {
  EXPECT_EQ(text_form(Json(1.5)), "1.5");
  EXPECT_EQ(text_form(Json(100.0)), "100.0");
  EXPECT_EQ(text_form(Json(-0.0)), "-0.0");
  EXPECT_EQ(text_form(Json(1e16)), "1e+16");
  EXPECT_EQ(text_form(Json(123456789012345.6)), "123456789012345.6");
  EXPECT_EQ(text_form(Json(0.0001)), "0.0001");
  EXPECT_EQ(text_form(Json(0.00001)), "1e-05");
  EXPECT_EQ(text_form(Json(13800138000ULL)), "13800138000");
  EXPECT_EQ(text_form(Json(-4)), "-4");
  EXPECT_EQ(text_form(Json(false)), "False");
  EXPECT_EQ(text_form(Json(nullptr)), "None");
  EXPECT_EQ(text_form(Json("文本")), "文本");
}

}  // namespace
}  // namespace vendro::xiyou
