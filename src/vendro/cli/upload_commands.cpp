// `vendro upload`: uploads one file to the OPS file service and prints its download URL.

#include <memory>

#include "vendro/cli/command.hpp"
#include "vendro/cli/groups.hpp"
#include "vendro/core/error.hpp"
#include "vendro/shared/file_upload.hpp"

namespace vendro::cli {

namespace {

struct UploadArgs {
  std::string file;
  std::string purpose;
  std::string folder;
  std::string public_flag;
  std::string metadata;
};

}  // namespace

void add_upload_commands(CLI::App& app, Action& selected) {
  auto args = std::make_shared<UploadArgs>();
  CLI::App* upload = app.add_subcommand(
      "upload",
      "上传文件到运营后台（OPS）文件服务，输出 {\"url\": 下载链接, \"raw\": 服务返回}。\n"
      "鉴权：VENDRO_OPS_TOKEN，否则 CONFIG_DIR/auth/credentials.yaml 中 ops 的 token 与 cookies。\n"
      "服务地址：VENDRO_OPS_URL，否则 credentials.yaml 中 ops 的 url；接口与默认值：VENDRO_FILE_UPLOAD_ENDPOINT、"
      "VENDRO_FILE_UPLOAD_FIELD、VENDRO_FILE_UPLOAD_FOLDER、VENDRO_FILE_UPLOAD_PUBLIC。");
  upload->add_option("FILE", args->file, "要上传的本地文件")->required();
  upload->add_option("--purpose", args->purpose, "上传用途（必填，原样交给文件服务）")->required();
  upload->add_option("--folder", args->folder,
                     "存放目录（默认 uploads 或 VENDRO_FILE_UPLOAD_FOLDER）");
  upload->add_option("--public", args->public_flag, "是否公开：0 或 1（默认 0）")
      ->check(CLI::IsMember({"0", "1"}));
  upload->add_option("--metadata", args->metadata,
                     "附加元数据：JSON 对象，或 @文件，或 - 表示从标准输入读取");
  upload->callback([args, &selected] {
    selected = [args]() -> std::optional<Json> {
      Json metadata = nullptr;
      if (!args->metadata.empty()) {
        metadata = read_json_argument(args->metadata, "--metadata");
        if (!metadata.is_object()) throw InputError("--metadata 必须是 JSON 对象");
      }
      shared::FileUploadClient client;
      auto result = client.upload(args->file, {.purpose = args->purpose,
                                               .folder = args->folder,
                                               .public_ = args->public_flag,
                                               .metadata = metadata});
      return result.to_json();
    };
  });
}

}  // namespace vendro::cli
