// `vendro xiyou`: Xiyou (西柚) token alerts to the WeCom group robot.

#include <memory>

#include "vendro/cli/command.hpp"
#include "vendro/cli/groups.hpp"
#include "vendro/cli/option_values.hpp"
#include "vendro/xiyou/notify.hpp"

namespace vendro::cli {

namespace {

struct XiyouArgs {
  std::string reason;
  std::optional<std::int64_t> status_code;
  std::optional<std::string> business_code;
  std::optional<std::string> job_id;
  std::optional<std::string> expires_at;
  bool force = false;
};

Json optional_text(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

void add_xiyou_commands(CLI::App& app, Action& selected) {
  CLI::App* group =
      app.add_subcommand("xiyou",
                         "西柚 token 失效提醒：通过企业微信群机器人通知运营人工补登。\n"
                         "提醒配置：VENDRO_XIYOU_NOTIFY_PATH，默认 CONFIG_DIR/xiyou/notify.yaml；"
                         "去重状态保存在同目录的 notify_state.json。");
  group->require_subcommand(1);
  auto args = std::make_shared<XiyouArgs>();

  CLI::App* notify = group->add_subcommand(
      "notify",
      "向企业微信群机器人发送西柚 token 失效提醒，输出结果（sent、reason、dedupe_key 等）。\n"
      "同一提醒在去重窗口（dedupe_minutes，默认 5 分钟）内不会重复发送；发送失败不算错误，"
      "结果中会说明原因。");
  notify->add_option("--reason", args->reason, "提醒原因，如 jwt_expired、api_error（必填）")
      ->required();
  add_integer_option(*notify, "--status-code", args->status_code, "被拒绝的西柚请求的 HTTP 状态码");
  notify->add_option("--business-code", args->business_code, "西柚返回的业务码，如 TokenExpired");
  notify->add_option("--job-id", args->job_id, "被阻塞的任务编号");
  notify->add_option("--expires-at", args->expires_at,
                     "token 过期时间（不填则从已保存的 token 中读取）");
  notify->add_flag("--force", args->force, "忽略去重窗口强制发送，且不更新去重状态");
  notify->callback([args, &selected] {
    selected = [args]() -> std::optional<Json> {
      return xiyou::notify_token_required({.reason = args->reason,
                                           .status_code = args->status_code,
                                           .business_code = optional_text(args->business_code),
                                           .job_id = args->job_id,
                                           .expires_at = args->expires_at,
                                           .force = args->force});
    };
  });

  CLI::App* token_invalid = group->add_subcommand(
      "token-invalid",
      "判断一次西柚请求的结果是否表示 token 失效（HTTP 401，或业务码 TokenInvalid、TokenExpired、"
      "TokenFreeTrialExpired），输出 true 或 false。");
  add_integer_option(*token_invalid, "--status-code", args->status_code, "HTTP 状态码");
  token_invalid->add_option("--business-code", args->business_code, "业务码（区分大小写）");
  token_invalid->callback([args, &selected] {
    selected = [args]() -> std::optional<Json> {
      return xiyou::is_token_invalid_signal(args->status_code, optional_text(args->business_code));
    };
  });
}

}  // namespace vendro::cli
