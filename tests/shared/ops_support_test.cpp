// The host pieces the upload client leans on: error messages, MIME types, OPS authentication.

#include <gtest/gtest.h>

#include "shared/ops_stand_in.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/yaml.hpp"
#include "vendro/shared/error_message.hpp"
#include "vendro/shared/mime_types.hpp"
#include "vendro/shared/ops_auth.hpp"
#include "vendro/shared/request_context.hpp"

#include <thread>

namespace vendro::shared {
namespace {

using testing::OpsStandIn;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;

TEST(ErrorMessage, FindsTheMessageInCommonAndNestedShapes) {
  EXPECT_EQ(extract_error_message(Json::parse(R"({"message":" 失败 ","msg":"x"})")), "失败");
  EXPECT_EQ(extract_error_message(Json::parse(R"({"message":"  ","msg":"second"})")), "second");
  EXPECT_EQ(extract_error_message(Json::parse(R"({"error":{"msg":"inner"}})")), "inner");
  EXPECT_EQ(extract_error_message(Json::parse(R"({"detail":[{"loc":1},{"msg":"bad field"}]})")),
            "bad field");
  EXPECT_EQ(extract_error_message(Json::parse(R"({"error":"denied","detail":"d"})")), "denied");
  EXPECT_EQ(extract_error_message(Json::parse(R"("plain text")")), "plain text");
  EXPECT_EQ(extract_error_message(Json::parse(R"({"code":500,"message":7})")), "");
  EXPECT_EQ(extract_error_message(nullptr), "");
  // Deep nesting is cut off instead of recursing without bound.
  Json deep = "bottom";
  for (int i = 0; i < 100; ++i) deep = Json{{"error", deep}};
  EXPECT_EQ(extract_error_message(deep), "");
}

TEST(MimeTypes, SystemTableWithBuiltInFallback) {
  TempDir dir;
  write_file(dir / "mime.types",
             "# comment\ntext/x-custom\t\tcst  cst2\napplication/x-later csv # later wins\n");
  MimeTypes custom = MimeTypes::load(dir / "mime.types");
  EXPECT_EQ(custom.guess("a.cst2"), "text/x-custom");
  EXPECT_EQ(custom.guess("a.csv"), "application/x-later");
  EXPECT_EQ(custom.guess("a.xlsx"),
            "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");

  MimeTypes fallback = MimeTypes::load(dir / "no-such-table");
  for (auto [name, type] :
       std::vector<std::pair<const char*, const char*>>{{"a.csv", "text/csv"},
                                                        {"a.json", "application/json"},
                                                        {"A.PNG", "image/png"},
                                                        {"photo.jpg", "image/jpeg"},
                                                        {"doc.pdf", "application/pdf"},
                                                        {"x.tar.zip", "application/zip"},
                                                        {"notes.txt", "text/plain"}}) {
    EXPECT_EQ(fallback.guess(name), type) << name;
  }
  EXPECT_EQ(fallback.guess("README"), std::nullopt);
  EXPECT_EQ(fallback.guess(".bashrc"), std::nullopt);
  EXPECT_EQ(fallback.guess("a.unknownext"), std::nullopt);
}

TEST(OpsAuth, BaseUrlFromTheEnvironmentThenTheCredentialsFile) {
  TempDir dir;
  ScopedEnv config("VENDRO_CONFIG_DIR", dir.path().string());
  {
    ScopedEnv unset("VENDRO_OPS_URL", std::nullopt);
    try {
      ops_url();
      FAIL() << "no error without any configured address";
    } catch (const OpsConfigError& e) {
      EXPECT_NE(std::string(e.what()).find("VENDRO_OPS_URL"), std::string::npos) << e.what();
    }
    testing::write_file(dir / "auth/credentials.yaml",
                        "ops:\n  url: ' https://ops.example.com/ '\n");
    EXPECT_EQ(ops_url(), "https://ops.example.com/");
  }
  ScopedEnv set("VENDRO_OPS_URL", "http://127.0.0.1:9/");
  EXPECT_EQ(ops_url(), "http://127.0.0.1:9/");
}

TEST(OpsAuth, StoredCredentialsPerBackend) {
  TempDir dir;
  ScopedEnv token("VENDRO_OPS_TOKEN", std::nullopt);
  AuthClient client({.credentials_dir = dir.path()});
  // Nothing stored: empty, not an error.
  EXPECT_TRUE(client.build_request_auth("ops").headers.empty());
  EXPECT_TRUE(client.build_request_auth("ops").cookies.empty());

  write_file(dir / "credentials.yaml",
             "ops:\n  cookies: {a: 1, b: '', c: x}\nerp:\n  token: erp-token\n");
  RequestAuth ops = client.build_request_auth("ops");
  EXPECT_TRUE(ops.headers.empty());
  EXPECT_EQ(ops.cookies, (http::NameValues{{"a", "1"}, {"c", "x"}}));
  EXPECT_EQ(client.build_request_auth("erp").headers,
            (http::NameValues{{"Authorization", "Bearer erp-token"}}));
  // The environment token is for the OPS backend only.
  ScopedEnv env_token("VENDRO_OPS_TOKEN", "env");
  EXPECT_EQ(client.build_request_auth("ops").headers,
            (http::NameValues{{"Authorization", "Bearer env"}}));
  EXPECT_EQ(client.build_request_auth("erp").headers,
            (http::NameValues{{"Authorization", "Bearer erp-token"}}));

  write_file(dir / "credentials.yaml", "ops: !!python/object:os.system {}\n");
  EXPECT_THROW(client.build_request_auth("erp"), yaml::YamlError);
}

TEST(OpsAuth, SessionExchangeReportsRefusals) {
  OpsStandIn ops;
  AuthClient client({.base_url = ops.base_url()});
  EXPECT_EQ(client.get_token_by_session("s", "ops"), "exchanged-token");

  ops.answer_session(401, R"({"message":"会话已过期"})");
  try {
    client.get_token_by_session("s", "ops");
    FAIL() << "no error";
  } catch (const OpsAuthError& e) {
    EXPECT_EQ(std::string(e.what()), "OPS 会话换取 token 失败（HTTP 401）：会话已过期");
  }
  ops.answer_session(200, R"({"code":0,"data":{}})");
  EXPECT_THROW(client.get_token_by_session("s", "ops"), OpsAuthError);
  ops.answer_session(200, R"({"access_token":" t2 "})");
  EXPECT_EQ(client.get_token_by_session("s", "ops"), "t2");
}

TEST(RequestContext, HeadersBelongToTheThreadAndScopesNest) {
  EXPECT_TRUE(get_mcp_request_headers().empty());
  {
    ScopedMcpRequestHeaders outer(http::NameValues{{"A", "1"}});
    {
      ScopedMcpRequestHeaders inner(http::NameValues{{"B", "2"}});
      EXPECT_EQ(get_mcp_request_headers(), (http::NameValues{{"B", "2"}}));
    }
    EXPECT_EQ(get_mcp_request_headers(), (http::NameValues{{"A", "1"}}));
    bool other_thread_empty = false;
    std::thread([&] { other_thread_empty = get_mcp_request_headers().empty(); }).join();
    EXPECT_TRUE(other_thread_empty);
  }
  EXPECT_TRUE(get_mcp_request_headers().empty());
}

}  // namespace
}  // namespace vendro::shared
