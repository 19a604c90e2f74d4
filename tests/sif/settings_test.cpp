#include "vendro/sif/settings.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sif/sif_stand_in.hpp"
#include "vendro/core/yaml.hpp"
#include "vendro/sif/errors.hpp"

namespace vendro::sif {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedSifConfig;
using testing::ScopedEnv;

TEST(SifSettings, MissingFileGivesDefaultsAndHomeSifOutput) {
  IsolatedSifConfig config;
  ScopedEnv home("HOME", "/home/operator");
  SifSettings settings = load_settings();
  EXPECT_EQ(settings.base_url, DEFAULT_BASE_URL);
  EXPECT_EQ(settings.token, "");
  EXPECT_EQ(settings.password, "");
  EXPECT_EQ(default_output_dir(settings), fs::path("/home/operator/sif"));
  settings.output_dir = "~/exports/sif";
  EXPECT_EQ(default_output_dir(settings), fs::path("/home/operator/exports/sif"));
  settings.output_dir = "/data/sif";
  EXPECT_EQ(default_output_dir(settings), fs::path("/data/sif"));
}

TEST(SifSettings, FileValuesThenEnvironmentOverrides) {
  IsolatedSifConfig config;
  config.write_settings(
      "base_url: http://sif.internal\ncookie: a=1; b=2\ntoken: file-token\nusername: ops\n"
      "password: 12345\noutput_dir: /data/sif\n");
  SifSettings settings = load_settings();
  EXPECT_EQ(settings.base_url, "http://sif.internal");
  EXPECT_EQ(settings.cookie, "a=1; b=2");
  EXPECT_EQ(settings.token, "file-token");
  EXPECT_EQ(settings.username, "ops");
  EXPECT_EQ(settings.password, "12345");  // a number in YAML is still the password text
  EXPECT_EQ(settings.output_dir, "/data/sif");

  ScopedEnv url("VENDRO_SIF_BASE_URL", "http://127.0.0.1:9");
  ScopedEnv token("VENDRO_SIF_TOKEN", "env-token");
  ScopedEnv password("VENDRO_SIF_PASSWORD", "env-pass");
  ScopedEnv out("VENDRO_SIF_OUTPUT_DIR", "/env/out");
  settings = load_settings();
  EXPECT_EQ(settings.base_url, "http://127.0.0.1:9");
  EXPECT_EQ(settings.token, "env-token");
  EXPECT_EQ(settings.password, "env-pass");
  EXPECT_EQ(settings.output_dir, "/env/out");
  EXPECT_EQ(settings.username, "ops");
  EXPECT_EQ(settings.cookie, "a=1; b=2");
}

TEST(SifSettings, SaveWritesOwnerOnlyFileThatLoadsBack) {
  IsolatedSifConfig config;
  save_settings({.base_url = "http://sif.test", .token = "t0k", .username = "u", .password = "p"});
  fs::path path = settings_path();
  EXPECT_EQ(path, config.config_dir() / "sif" / "settings.yaml");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  Json doc = yaml::load_file(path);
  EXPECT_FALSE(doc.contains("cookie"));  // empty values are left out
  SifSettings loaded = load_settings();
  EXPECT_EQ(loaded.base_url, "http://sif.test");
  EXPECT_EQ(loaded.token, "t0k");
  EXPECT_EQ(loaded.username, "u");
  EXPECT_EQ(loaded.password, "p");
}

TEST(SifSettings, MalformedFilesAreConfigErrors) {
  IsolatedSifConfig config;
  for (const char* text : {"- a\n- b\n", "token: [1, 2]\n", "token: {a: 1}\n", "a: [unclosed\n"}) {
    config.write_settings(text);
    EXPECT_THROW(load_settings(), SifConfigError) << text;
  }
  config.write_settings("");  // an empty file is no settings at all
  EXPECT_EQ(load_settings().base_url, DEFAULT_BASE_URL);
}

}  // namespace
}  // namespace vendro::sif
