// `vendro upload`: uploads one file to the OPS file service and prints its download URL.

#include "vendro/commands/groups.hpp"
#include "vendro/shared/file_upload.hpp"

namespace vendro::commands {

void add_upload_commands(Table& table) {
  table.commands.push_back({
      .path = {"upload"},
      .summary = "上传文件到运营后台（OPS）文件服务，输出 {\"url\": 下载链接, \"raw\": 服务返回}。",
      .description =
          "鉴权：VENDRO_OPS_TOKEN，否则 CONFIG_DIR/auth/credentials.yaml 中 ops 的 token 与 "
          "cookies。\n服务地址：VENDRO_OPS_URL，否则 credentials.yaml 中 ops 的 url；接口与默认值："
          "VENDRO_FILE_UPLOAD_ENDPOINT、VENDRO_FILE_UPLOAD_FIELD、VENDRO_FILE_UPLOAD_FOLDER、"
          "VENDRO_FILE_UPLOAD_PUBLIC。",
      .params =
          {{.name = "file", .help = "要上传的本地文件", .required = true, .positional = true},
           {.name = "purpose", .help = "上传用途（必填，原样交给文件服务）", .required = true},
           {.name = "folder", .help = "存放目录（默认 uploads 或 VENDRO_FILE_UPLOAD_FOLDER）"},
           {.name = "public",
            .help = "是否公开：0 或 1（默认 0）",
            .choices = {"0", "1"},
            .schema = {{"type", {"string", "integer"}}, {"enum", {"0", "1", 0, 1}}}},
           {.name = "metadata",
            .type = ParamType::json_object,
            .help = "附加元数据：JSON 对象，或 @文件，或 - 表示从标准输入读取"}},
      .effects = {.open_world = true},
      .output_schema = {{"type", "object"},
                        {"properties", {{"url", {{"type", "string"}}}, {"raw", Json::object()}}},
                        {"required", {"url", "raw"}}},
      .tool_name = "upload_file",
      .run =
          [](const Arguments& args, Context& context) {
            shared::FileUploadClient client;
            auto result = client.upload(args.text("file"), {.purpose = args.text("purpose"),
                                                            .folder = args.text("folder"),
                                                            .public_ = args.text("public"),
                                                            .metadata = args.get("metadata")});
            context.output.put(result.to_json());
          },
  });
}

}  // namespace vendro::commands
