// `vendro xiyou`: Xiyou (西柚) token alerts to the WeCom group robot.

#include "vendro/commands/groups.hpp"
#include "vendro/xiyou/notify.hpp"

namespace vendro::commands {

namespace {

Json optional_text(const Arguments& args, const std::string& name) {
  return args.has(name) ? args.get(name) : Json(nullptr);
}

Param status_code_param(std::string help) {
  return {.name = "status-code", .type = ParamType::integer, .help = std::move(help)};
}

}  // namespace

void add_xiyou_commands(Table& table) {
  table.groups.push_back(
      {.path = {"xiyou"},
       .description = "西柚 token 失效提醒：通过企业微信群机器人通知运营人工补登。\n"
                      "提醒配置：VENDRO_XIYOU_NOTIFY_PATH，默认 CONFIG_DIR/xiyou/notify.yaml；"
                      "去重状态保存在同目录的 notify_state.json。"});

  table.commands.push_back({
      .path = {"xiyou", "notify"},
      .summary =
          "向企业微信群机器人发送西柚 token 失效提醒，输出结果（sent、reason、dedupe_key 等）。",
      .description = "同一提醒在去重窗口（dedupe_minutes，默认 5 分钟）内不会重复发送；发送失败不算"
                     "错误，结果中会说明原因。",
      .params = {{.name = "reason",
                  .help = "提醒原因，如 jwt_expired、api_error（必填）",
                  .required = true},
                 status_code_param("被拒绝的西柚请求的 HTTP 状态码"),
                 {.name = "business-code", .help = "西柚返回的业务码，如 TokenExpired"},
                 {.name = "job-id", .help = "被阻塞的任务编号"},
                 {.name = "expires-at", .help = "token 过期时间（不填则从已保存的 token 中读取）"},
                 {.name = "force",
                  .type = ParamType::flag,
                  .help = "忽略去重窗口强制发送，且不更新去重状态"}},
      .effects = {.open_world = true},
      .run =
          [](const Arguments& args, Context& context) {
            context.output.put(xiyou::notify_token_required({
                .reason = args.text("reason"),
                .status_code = args.integer("status-code"),
                .business_code = optional_text(args, "business-code"),
                .job_id = args.optional_text("job-id"),
                .expires_at = args.optional_text("expires-at"),
                .force = args.flag("force"),
            }));
          },
  });

  table.commands.push_back({
      .path = {"xiyou", "token-invalid"},
      .summary = "判断一次西柚请求的结果是否表示 token 失效，输出 true 或 false。",
      .description =
          "HTTP 401，或业务码 TokenInvalid、TokenExpired、TokenFreeTrialExpired 表示失效。",
      .params = {status_code_param("HTTP 状态码"),
                 {.name = "business-code", .help = "业务码（区分大小写）"}},
      .effects = {.read_only = true, .idempotent = true},
      .run =
          [](const Arguments& args, Context& context) {
            context.output.put(xiyou::is_token_invalid_signal(
                args.integer("status-code"), optional_text(args, "business-code")));
          },
  });
}

}  // namespace vendro::commands
