#include "vendro/shared/file_upload.hpp"

#include <gtest/gtest.h>

#include "shared/ops_stand_in.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/http_client.hpp"
#include "vendro/shared/request_context.hpp"

namespace vendro::shared {
namespace {

using testing::OpsStandIn;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;

constexpr const char* XLSX_TYPE =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";

// A clean environment: OPS at the stand-in, no stored credentials, no upload settings.
struct UploadEnv {
  explicit UploadEnv(const OpsStandIn& ops, std::optional<std::string> ops_token = std::nullopt)
      : ops_url("VENDRO_OPS_URL", ops.base_url() + "/"),
        config("VENDRO_CONFIG_DIR", dir.path().string()),
        token("VENDRO_OPS_TOKEN", std::move(ops_token)),
        endpoint("VENDRO_FILE_UPLOAD_ENDPOINT", std::nullopt),
        field("VENDRO_FILE_UPLOAD_FIELD", std::nullopt),
        folder("VENDRO_FILE_UPLOAD_FOLDER", std::nullopt),
        public_flag("VENDRO_FILE_UPLOAD_PUBLIC", std::nullopt) {}

  TempDir dir;
  ScopedEnv ops_url, config, token, endpoint, field, folder, public_flag;
};

TEST(FileUpload, SendsDefaultFieldsInOrderWithTheFileAndItsType) {
  OpsStandIn ops;
  UploadEnv env(ops, "stored-token");
  auto file = env.dir / "报表 report.xlsx";
  constexpr char raw[] = "PK\x03\x04 binary \0 content";
  std::string bytes(raw, sizeof raw - 1);
  write_file(file, bytes);

  FileUploadResult result = FileUploadClient().upload(file, {.purpose = "sif_export"});

  EXPECT_EQ(result.url, "https://files.example/u/1");
  EXPECT_EQ(result.raw["code"], 0);
  auto uploads = ops.uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto& got = uploads[0];
  EXPECT_EQ(got.path, "/v1/file/upload");
  EXPECT_EQ(got.authorization, "Bearer stored-token");
  EXPECT_EQ(got.cookie, "");
  EXPECT_EQ(got.part_names(), (std::vector<std::string>{"folder", "public", "purpose", "file"}));
  EXPECT_EQ(got.part("folder")->content, "uploads");
  EXPECT_EQ(got.part("public")->content, "0");
  EXPECT_EQ(got.part("purpose")->content, "sif_export");
  EXPECT_EQ(got.part("file")->filename, "报表 report.xlsx");
  EXPECT_EQ(got.part("file")->content_type, XLSX_TYPE);
  EXPECT_EQ(got.part("file")->content, bytes);
}

TEST(FileUpload, EnvironmentAndArgumentsReplaceDefaults) {
  OpsStandIn ops;
  UploadEnv env(ops);
  ScopedEnv endpoint("VENDRO_FILE_UPLOAD_ENDPOINT", "  api/upload  ");
  ScopedEnv field("VENDRO_FILE_UPLOAD_FIELD", "upfile");
  ScopedEnv folder("VENDRO_FILE_UPLOAD_FOLDER", "env-folder");
  ScopedEnv public_flag("VENDRO_FILE_UPLOAD_PUBLIC", "1");
  auto file = env.dir / "NOTES";
  write_file(file, "plain");

  FileUploadClient client;
  EXPECT_TRUE(client.enabled());
  // Arguments beat the environment; the environment beats the defaults.
  client.upload(
      file, {.purpose = "p", .folder = "arg-folder", .metadata = {{"店铺", "美国站"}, {"n", 1}}});
  client.upload(file, {.purpose = "p", .public_ = "0", .metadata = Json::object()});

  auto uploads = ops.uploads();
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(uploads[0].path, "/api/upload");
  EXPECT_EQ(uploads[0].part_names(),
            (std::vector<std::string>{"folder", "public", "purpose", "metadata", "upfile"}));
  EXPECT_EQ(uploads[0].part("folder")->content, "arg-folder");
  EXPECT_EQ(uploads[0].part("public")->content, "1");
  EXPECT_EQ(uploads[0].part("metadata")->content, R"({"店铺":"美国站","n":1})");
  EXPECT_EQ(uploads[0].part("upfile")->content_type, "application/octet-stream");
  // No credentials stored anywhere: the request goes out without them.
  EXPECT_EQ(uploads[0].authorization, "");
  EXPECT_EQ(uploads[0].cookie, "");

  EXPECT_EQ(uploads[1].part_names(),
            (std::vector<std::string>{"folder", "public", "purpose", "upfile"}));
  EXPECT_EQ(uploads[1].part("folder")->content, "env-folder");
  EXPECT_EQ(uploads[1].part("public")->content, "0");
}

TEST(FileUpload, ResolvesEndpointsAgainstTheOpsBaseUrl) {
  ScopedEnv ops_url("VENDRO_OPS_URL", "https://ops.test//");
  EXPECT_EQ(resolve_endpoint("/v1/file/upload"), "https://ops.test/v1/file/upload");
  EXPECT_EQ(resolve_endpoint("v1/file/upload"), "https://ops.test/v1/file/upload");
  EXPECT_EQ(resolve_endpoint(" \thttps://cdn.test/up?x=1 \n"), "https://cdn.test/up?x=1");
  EXPECT_EQ(resolve_endpoint("http://cdn.test/up"), "http://cdn.test/up");
  // Only the lower-case schemes count as absolute.
  EXPECT_EQ(resolve_endpoint("HTTPS://cdn.test/up"), "https://ops.test/HTTPS://cdn.test/up");
}

TEST(FileUpload, AuthenticatesFromTheCredentialsFile) {
  OpsStandIn ops;
  UploadEnv env(ops);
  write_file(
      env.dir / "auth" / "credentials.yaml",
      "ops:\n  token: file-token\n  cookies:\n    sid: abc\n    lang: zh\nother:\n  token: x\n");
  auto file = env.dir / "a.csv";
  write_file(file, "a,b\n");
  FileUploadClient().upload(file, {.purpose = "p"});
  auto got = ops.uploads().at(0);
  EXPECT_EQ(got.authorization, "Bearer file-token");
  EXPECT_EQ(got.cookie, "sid=abc; lang=zh");
  EXPECT_EQ(got.part("file")->content_type, "text/csv");

  // The environment token wins over the file for the OPS backend.
  ScopedEnv token("VENDRO_OPS_TOKEN", "env-token");
  FileUploadClient().upload(file, {.purpose = "p"});
  EXPECT_EQ(ops.uploads().at(1).authorization, "Bearer env-token");
}

TEST(FileUpload, SessionIdWithJwtSkipsTheExchange) {
  OpsStandIn ops;
  UploadEnv env(ops, "stored-token");
  auto file = env.dir / "a.json";
  write_file(file, "{}");

  FileUploadClient({.jwt = "my-jwt", .session_id = "sess-1"}).upload(file, {.purpose = "p"});
  FileUploadClient({.session_id = "sess-2"}).upload(file, {.purpose = "p"});
  FileUploadClient({.jwt = "only-jwt"}).upload(file, {.purpose = "p"});

  auto uploads = ops.uploads();
  ASSERT_EQ(uploads.size(), 3u);
  EXPECT_EQ(uploads[0].authorization, "Bearer my-jwt");
  EXPECT_EQ(uploads[0].cookie, "nimbraUserToken=sess-1");
  EXPECT_EQ(uploads[1].authorization, "Bearer exchanged-token");
  EXPECT_EQ(uploads[1].cookie, "nimbraUserToken=sess-2");
  EXPECT_EQ(uploads[2].authorization, "Bearer only-jwt");
  EXPECT_EQ(uploads[2].cookie, "");
  // Only the session without a jwt was exchanged.
  auto exchanges = ops.session_requests();
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].path, SESSION_TOKEN_ENDPOINT);
  EXPECT_EQ(exchanges[0].cookie, "nimbraUserToken=sess-2");
  EXPECT_EQ(Json::parse(exchanges[0].parts.at(0).content),
            (Json{{"session_id", "sess-2"}, {"alias", "ops"}}));
}

TEST(FileUpload, ToolRequestHeadersTakePart) {
  OpsStandIn ops;
  UploadEnv env(ops, "stored-token");
  auto file = env.dir / "a.png";
  write_file(file, "png");
  {
    // A tool call with its own API key is sent with exactly its headers.
    ScopedMcpRequestHeaders scope({{"X-MCP-API-Key", "k-1"}, {"X-Trace", "t"}});
    FileUploadClient().upload(file, {.purpose = "p"});
    // A jwt still wins, with the tool headers laid over it.
    FileUploadClient({.jwt = "j"}).upload(file, {.purpose = "p"});
  }
  {
    // Without the key, the stored credentials go out and a tool header of the same name wins.
    ScopedMcpRequestHeaders scope({{"Authorization", "Bearer from-tool"}, {"x-mcp-api-key", "k"}});
    FileUploadClient().upload(file, {.purpose = "p"});
  }
  FileUploadClient().upload(file, {.purpose = "p"});

  auto uploads = ops.uploads();
  ASSERT_EQ(uploads.size(), 4u);
  EXPECT_EQ(uploads[0].authorization, "");
  EXPECT_EQ(uploads[0].headers["X-MCP-API-Key"], "k-1");
  EXPECT_EQ(uploads[0].headers["X-Trace"], "t");
  EXPECT_EQ(uploads[1].authorization, "Bearer j");
  EXPECT_EQ(uploads[1].headers["X-MCP-API-Key"], "k-1");
  EXPECT_EQ(uploads[2].authorization, "Bearer from-tool");
  EXPECT_EQ(uploads[3].authorization, "Bearer stored-token");
  EXPECT_EQ(uploads[3].headers.count("X-Trace"), 0u);
  EXPECT_EQ(uploads[0].part("file")->content_type, "image/png");
}

struct AnswerCase {
  int status;
  std::string body;
  std::string expect_url;        // when the upload succeeds
  std::string_view expect_code;  // error code when it fails
  std::string expect_message;
};

TEST(FileUpload, MapsEachAnswerShape) {
  OpsStandIn ops;
  UploadEnv env(ops);
  auto file = env.dir / "a.txt";
  write_file(file, "x");
  const std::vector<AnswerCase> cases = {
      {200, R"({"code":"200","data":{"fileUrl":"  https://f/1  "}})", "https://f/1", "", ""},
      {200, R"({"code":201,"url":"https://top","data":{"url":"https://data"}})", "https://data", "",
       ""},
      {200, R"({"code":null,"data":[1],"download_url":"https://top"})", "https://top", "", ""},
      {201, R"({"data":{"url":" ","downloadUrl":"https://d"}})", "https://d", "", ""},
      {200, R"({"code":500,"msg":"存储已满"})", "", FileUploadBusinessError::CODE, "存储已满"},
      {200, R"({"code":"E1"})", "", FileUploadBusinessError::CODE, "远端业务执行失败"},
      {502, R"({"error":{"message":"网关错误"}})", "", FileUploadHttpError::CODE, "网关错误"},
      {404, R"({})", "", FileUploadHttpError::CODE, "远端请求失败，HTTP 404"},
      {200, R"([{"url":"https://x"}])", "", FileUploadBadJsonError::CODE,
       "远端返回结构不是 JSON 对象"},
      {502, "<html>Bad Gateway</html>", "", FileUploadBadJsonError::CODE,
       "远端返回了无法解析的 JSON"},
      {200, R"({"url":"   "})", "", FileUploadBadJsonError::CODE, "文件上传响应缺少下载链接"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ops.answer(c.status, c.body);
    try {
      auto result = FileUploadClient().upload(file, {.purpose = "p"});
      EXPECT_EQ(result.url, c.expect_url);
      EXPECT_EQ(result.raw, Json::parse(c.body));
      EXPECT_EQ(c.expect_code, "");
    } catch (const FileUploadError& e) {
      EXPECT_EQ(e.code(), c.expect_code);
      EXPECT_EQ(std::string(e.what()), c.expect_message);
    }
  }
}

TEST(FileUpload, ErrorsCarryTheirDetails) {
  OpsStandIn ops;
  UploadEnv env(ops);
  auto file = env.dir / "a.txt";
  write_file(file, "x");
  ops.answer(200, R"({"code":500,"message":"busy"})");
  try {
    FileUploadClient().upload(file, {.purpose = "p"});
    FAIL() << "no error";
  } catch (const FileUploadBusinessError& e) {
    EXPECT_EQ(e.business_code, 500);
    EXPECT_TRUE(dynamic_cast<const RemoteError*>(&e) != nullptr);
  }
  ops.answer(503, R"({"detail":[{"msg":"维护中"}]})");
  try {
    FileUploadClient().upload(file, {.purpose = "p"});
    FAIL() << "no error";
  } catch (const FileUploadHttpError& e) {
    EXPECT_EQ(e.status_code, 503);
    EXPECT_STREQ(e.what(), "维护中");
  }
  // The parse failure is kept as the cause, and names the status the page came with.
  ops.answer(500, "<html><body>Internal Server Error</body></html>", "text/html");
  try {
    FileUploadClient().upload(file, {.purpose = "p"});
    FAIL() << "no error";
  } catch (const FileUploadBadJsonError& e) {
    auto chain = error_chain(e);
    ASSERT_GE(chain.size(), 2u);
    EXPECT_EQ(chain[0], "远端返回了无法解析的 JSON");
    EXPECT_NE(chain[1].find("文件服务的答复（HTTP 500） 不是有效的 JSON"), std::string::npos)
        << chain[1];
  }
}

TEST(FileUpload, HostileAnswersAreBoundedErrors) {
  OpsStandIn ops;
  UploadEnv env(ops);
  auto file = env.dir / "a.txt";
  write_file(file, "x");
  // Nested far beyond the bound: refused while parsing, never printed.
  ops.answer(200, std::string(50000, '[') + std::string(50000, ']'));
  try {
    FileUploadClient().upload(file, {.purpose = "p"});
    FAIL() << "no error";
  } catch (const FileUploadBadJsonError& e) {
    EXPECT_NE(error_chain(e).at(1).find("嵌套过深"), std::string::npos);
  }
  // Larger than any upload answer may be.
  ops.answer(200, "{\"pad\":\"" + std::string(UPLOAD_ANSWER_LIMIT, 'x') + "\"}");
  EXPECT_THROW(FileUploadClient().upload(file, {.purpose = "p"}), http::ResponseTooLargeError);
}

TEST(FileUpload, RefusesMissingOrUnreadableFilesBeforeSending) {
  OpsStandIn ops;
  UploadEnv env(ops);
  FileUploadClient client;
  try {
    client.upload(env.dir / "missing.csv", {.purpose = "p"});
    FAIL() << "no error";
  } catch (const FileUploadError& e) {
    EXPECT_EQ(std::string(e.what()), "上传文件不存在：" + (env.dir / "missing.csv").string());
  }
  EXPECT_THROW(client.upload(env.dir.path(), {.purpose = "p"}), FileError);
  EXPECT_TRUE(ops.uploads().empty());
}

TEST(FileUpload, UnreachableServiceIsATransportError) {
  TempDir dir;
  ScopedEnv ops_url("VENDRO_OPS_URL", "http://127.0.0.1:1");
  ScopedEnv config("VENDRO_CONFIG_DIR", dir.path().string());
  write_file(dir / "a.txt", "x");
  EXPECT_THROW(FileUploadClient().upload(dir / "a.txt", {.purpose = "p"}), http::TransportError);
}

}  // namespace
}  // namespace vendro::shared
