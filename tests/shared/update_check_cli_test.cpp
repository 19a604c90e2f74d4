// The update check as the `vendro` executable runs it in front of a command.

#include <gtest/gtest.h>

#include "shared/index_server.hpp"
#include "support/cli_runner.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/json.hpp"

namespace vendro::shared {
namespace {

using testing::CliResult;
using testing::run_vendro;

class UpdateCheckCli : public ::testing::Test {
 protected:
  UpdateCheckCli() {
    testing::write_file(dir_ / "shopify/templates.yaml",
                        "operations:\n  update_price:\n    template_id: 1024\n"
                        "    form_ref: elForm\n    label: 修改价格\n"
                        "    image: https://example.invalid/price.png\n"
                        "    operate_method: updatePrice\n");
  }
  CliResult preview(std::optional<std::string> no_update_check) {
    return run_vendro({.args = {"shopify", "preview", "--operation", "update_price", "--site-id",
                                "3", "--payload", R"({"task_content": {"x": 1}})"},
                       .env = {{"VENDRO_CONFIG_DIR", dir_.path().string()},
                               {"VENDRO_PACKAGE_INDEX_URL", index_.base_url()},
                               {"VENDRO_NO_UPDATE_CHECK", no_update_check},
                               {"NO_COLOR", std::nullopt}}});
  }
  testing::TempDir dir_;
  test::IndexServer index_;
};

TEST_F(UpdateCheckCli, NewerReleasePrintsThePlainHintOnStderrAndKeepsStdoutClean) {
  index_.publish("99.0.0");
  CliResult result = preview(std::nullopt);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err,
            "\nvendro 有新版本可用，建议更新最新版本: v" + get_version() +
                " → v99.0.0\n请按以下步骤更新：\n  1. pip install --upgrade taluno-vendro\n"
                "  2. vendro skills install --force\n  3. vendro skills upgrade\n\n");
  Json out = Json::parse(result.out);
  EXPECT_EQ(out["dry_run"], true);
  EXPECT_EQ(out["payload"], Json::parse(R"({"task_content": {"x": 1}})"));
  EXPECT_EQ(index_.requests(), 1);
  EXPECT_EQ(Json::parse(testing::read_file(dir_ / "pypi_version_cache.json"))["latest_version"],
            "99.0.0");

  // The second run answers from the cache.
  EXPECT_EQ(preview(std::nullopt).err, result.err);
  EXPECT_EQ(index_.requests(), 1);
}

TEST_F(UpdateCheckCli, NoUpdateCheckVariableTurnsItOff) {
  index_.publish("99.0.0");
  CliResult result = preview("1");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(index_.requests(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "pypi_version_cache.json"));

  // An empty value counts as unset.
  EXPECT_NE(preview("").err, "");
  EXPECT_EQ(index_.requests(), 1);
}

}  // namespace
}  // namespace vendro::shared
