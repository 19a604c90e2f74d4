// The command table as both fronts read it: names that fit a tool's naming rules, params that
// refer to each other correctly, and input schemas that say what the arguments may be.

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "vendro/commands/command_table.hpp"
#include "vendro/commands/param_values.hpp"

namespace vendro::commands {
namespace {

const Command& command_named(const std::string& tool) {
  for (const Command& command : command_table()) {
    if (tool_name(command) == tool) return command;
  }
  throw std::runtime_error("no tool " + tool);
}

TEST(CommandTable, NamesAreUniqueAndParamsReferToEachOther) {
  const std::regex tool_pattern("^[a-z][a-z0-9_]{0,63}$");
  std::set<std::string> tools;
  for (const Command& command : command_table()) {
    const std::string tool = tool_name(command);
    EXPECT_TRUE(std::regex_match(tool, tool_pattern)) << tool;
    EXPECT_TRUE(tools.insert(tool).second) << "twice: " << tool;
    EXPECT_FALSE(command.summary.empty()) << tool;
    EXPECT_TRUE(command.run) << tool;
    std::set<std::string> names;
    for (const Param& param : command.params) {
      EXPECT_TRUE(names.insert(param.name).second) << tool << " " << param.name;
      EXPECT_FALSE(param.help.empty()) << tool << " " << param.name;
      for (const std::string& other : param.excludes) {
        const auto& params = command.params;
        const bool known = std::any_of(params.begin(), params.end(),
                                       [&](const Param& p) { return p.name == other; });
        EXPECT_TRUE(known) << tool << ": " << param.name << " excludes unknown " << other;
      }
    }
  }
  for (const std::string expected :
       {"keepa_convert", "keepa_time", "sif_compare", "sif_site", "upload_file",
        "seller_sprite_collect", "seller_sprite_account_set", "rufus_ask", "rufus_capture",
        "xiyou_notify", "xiyou_token_invalid", "shopify_build", "browser_install"}) {
    EXPECT_TRUE(tools.contains(expected)) << expected;
  }
  // Every group level that commands sit below has its help.
  for (const Command& command : command_table()) {
    for (std::size_t depth = 1; depth < command.path.size(); ++depth) {
      const std::vector<std::string> prefix(command.path.begin(), command.path.begin() + depth);
      const auto& groups = command_groups();
      EXPECT_TRUE(std::any_of(groups.begin(), groups.end(), [&](const Group& group) {
        return group.path == prefix;
      })) << tool_name(command);
    }
  }
}

TEST(CommandTable, InputSchemasDescribeEveryToolArgument) {
  for (const Command& command : command_table()) {
    const Json schema = input_schema(command);
    ASSERT_EQ(schema["type"], "object") << tool_name(command);
    EXPECT_EQ(schema["additionalProperties"], false);
    for (const Param& param : command.params) {
      const std::string name = argument_name(param);
      EXPECT_EQ(name.find('-'), std::string::npos);
      if (param.cli_only) {
        EXPECT_FALSE(schema["properties"].contains(name)) << tool_name(command) << " " << name;
        continue;
      }
      ASSERT_TRUE(schema["properties"].contains(name)) << tool_name(command) << " " << name;
      EXPECT_TRUE(schema["properties"][name]["description"].is_string());
      const Json& required = schema.value("required", Json::array());
      EXPECT_EQ(std::find(required.begin(), required.end(), name) != required.end(), param.required)
          << tool_name(command) << " " << name;
    }
  }
  const Json collect = input_schema(command_named("seller_sprite_collect"));
  EXPECT_EQ(collect["properties"]["phrase_count"]["type"], "integer");
  EXPECT_EQ(collect["properties"]["phrase_count"]["maximum"], 100);
  EXPECT_EQ(collect["properties"]["phrase_count"]["default"], 1);
  EXPECT_EQ(collect["properties"]["timeout"]["type"], "number");
  EXPECT_EQ(collect["properties"]["headless"]["type"], "boolean");
  EXPECT_FALSE(collect["properties"].contains("quiet"));
  const Json compare = input_schema(command_named("sif_compare"));
  EXPECT_EQ(compare["properties"]["sections"]["type"], "array");
  EXPECT_EQ(compare["required"], Json::array({"asin"}));
  EXPECT_EQ(input_schema(command_named("keepa_time"))["required"], Json::array({"minutes"}));
  EXPECT_EQ(input_schema(command_named("shopify_build"))["properties"]["data"]["type"], "object");
}

// One set of checks for both fronts: what the command line refuses as a usage error, a tool call
// refuses with the same reason.
TEST(ToolArguments, AreCheckedConvertedAndDefaultedLikeCommandLineValues) {
  const Command& collect = command_named("seller_sprite_collect");
  Arguments args = tool_arguments(
      collect,
      Json{{"keyword", "earbuds"}, {"phrase_count", 2}, {"timeout", 30.5}, {"headless", true}});
  EXPECT_EQ(args.text("keyword"), "earbuds");
  EXPECT_EQ(args.integer("phrase-count"), 2);
  EXPECT_EQ(args.number("timeout"), 30.5);
  EXPECT_TRUE(args.flag("headless"));
  EXPECT_EQ(args.text("site"), "us");  // the default
  EXPECT_FALSE(args.has("site"));
  EXPECT_EQ(args.integer("trend-limit"), 0);
  EXPECT_EQ(args.as_given("phrase_count"), nullptr);
  EXPECT_EQ(args.as_given("phrase-count"), 2);

  auto refusal = [](const Command& command, const Json& arguments) {
    try {
      tool_arguments(command, arguments);
    } catch (const InputError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(refusal(collect, {{"phrase_count", 101}}).find("超出范围（0 到 100）"),
            std::string::npos);
  EXPECT_NE(refusal(collect, {{"phrase_count", "two"}}).find("必须是整数"), std::string::npos);
  EXPECT_NE(refusal(collect, {{"phrase_count", 1.5}}).find("必须是整数"), std::string::npos);
  EXPECT_NE(refusal(collect, {{"timeout", 0.5}}).find("之间的秒数"), std::string::npos);
  EXPECT_NE(refusal(collect, {{"headless", "yes"}}).find("true 或 false"), std::string::npos);
  EXPECT_NE(refusal(collect, {{"headless", true}, {"headed", true}}).find("不能与"),
            std::string::npos);
  EXPECT_EQ(refusal(collect, {{"quiet", true}}), "未知的参数：quiet");
  EXPECT_EQ(refusal(collect, {{"phrase-count", 1}}), "未知的参数：phrase-count");
  EXPECT_EQ(refusal(collect, Json::array()), "工具参数必须是 JSON 对象");
  EXPECT_NE(refusal(collect, {{"keyword", Json::object()}}).find("必须是文本"), std::string::npos);

  const Command& reverse = command_named("seller_sprite_reverse");
  EXPECT_NE(refusal(reverse, Json::object()).find("asin 是必填的"), std::string::npos);
  EXPECT_NE(refusal(reverse, {{"asin", nullptr}}).find("asin 是必填的"), std::string::npos);

  const Command& compare = command_named("sif_compare");
  Arguments sections = tool_arguments(compare, {{"asin", "A1,A2"}, {"sections", "sales"}});
  EXPECT_EQ(sections.texts("sections"), std::vector<std::string>{"sales"});
  sections = tool_arguments(compare, {{"asin", "A1,A2"}, {"sections", {"sales", "流量词"}}});
  EXPECT_EQ(sections.texts("sections"), (std::vector<std::string>{"sales", "流量词"}));
  EXPECT_NE(
      refusal(compare, {{"asin", "A1,A2"}, {"sections", {"nope"}}}).find("未知的板块「nope」"),
      std::string::npos);

  // Numbers sent for text params are their JSON text; the same checks then apply.
  const Command& upload = command_named("upload_file");
  EXPECT_EQ(tool_arguments(upload, {{"file", "a"}, {"purpose", "p"}, {"public", 1}}).text("public"),
            "1");
  EXPECT_NE(refusal(upload, {{"file", "a"}, {"purpose", "p"}, {"public", 2}}).find("须是以下之一"),
            std::string::npos);
  const Command& build = command_named("shopify_build");
  Arguments built = tool_arguments(
      build,
      {{"operation", "x"}, {"site_id", 3.9}, {"variant_ids", "1,2"}, {"data", {{"k", "v"}}}});
  EXPECT_EQ(built.get("site-id"), 3);
  EXPECT_EQ(built.get("data"), (Json{{"k", "v"}}));
  EXPECT_NE(refusal(build, {{"operation", "x"}, {"site_id", 1}, {"variant_ids", "1,a"}})
                .find("逗号分隔的整数"),
            std::string::npos);
  EXPECT_NE(
      refusal(build, {{"operation", "x"}, {"site_id", 1}, {"variant_ids", "1"}, {"data", "{}"}})
          .find("JSON 对象"),
      std::string::npos);

  // A secret is an ordinary argument of a tool call (it never reaches a command line there).
  const Command& capture = command_named("rufus_capture");
  Arguments signed_in =
      tool_arguments(capture, {{"asin", "B0A"}, {"country", "US"}, {"cookie", "a=b"}});
  EXPECT_EQ(signed_in.text("cookie"), "a=b");
  EXPECT_EQ(signed_in.number("timeout"), 60);
  EXPECT_NE(
      refusal(capture,
              {{"asin", "B0A"}, {"country", "US"}, {"cookie", "a=b"}, {"storage_state", "s.json"}})
          .find("不能与"),
      std::string::npos);
}

}  // namespace
}  // namespace vendro::commands
