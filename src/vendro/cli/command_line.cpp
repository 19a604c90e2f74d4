#include "vendro/cli/command_line.hpp"

#include <unistd.h>

#include <iostream>
#include <map>
#include <memory>

#include "vendro/cli/terminal.hpp"
#include "vendro/commands/command_table.hpp"
#include "vendro/commands/param_values.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/shared/update_check.hpp"

namespace vendro::cli {

namespace {

using commands::Command;
using commands::Param;
using commands::ParamType;
using commands::SecretSource;

// What the options of one command were given, as CLI11 stores it. Bound to plain strings,
// booleans and string lists, so that CLI11's own rules for repeated and missing values apply.
struct Given {
  std::map<std::string, std::string> text;
  std::map<std::string, std::vector<std::string>> list;
  std::map<std::string, bool> flag;
  std::map<std::string, std::string> secret_file;  // --NAME-file of file_or_stdin secrets
  std::map<std::string, CLI::Option*> option;
  std::map<std::string, CLI::Option*> file_option;
};

std::string positional_name(const Param& param) {
  std::string name;
  for (char c : param.name) name += c == '-' ? '_' : static_cast<char>(std::toupper(c));
  return name;
}

std::string option_name(const Param& param) {
  std::string name = "--" + param.name;
  if (!param.short_name.empty()) name += "," + param.short_name;
  return name;
}

const char* type_label(const Param& param) {
  switch (param.type) {
    case ParamType::integer:
      return "INTEGER";
    case ParamType::seconds:
      return "SECONDS";
    default:
      return "";
  }
}

bool has_checks(const Param& param) {
  return param.type == ParamType::integer || param.type == ParamType::seconds ||
         !param.choices.empty() || param.check;
}

CLI::Validator value_check(const Param& param) {
  return CLI::Validator([param](std::string& value) { return commands::text_error(param, value); },
                        type_label(param));
}

// --NAME - and --NAME-file FILE: a secret never comes as an option's value.
void add_secret_options(CLI::App& app, const Param& param, Given& given) {
  std::string refusal = param.name + " 不能直接写在命令行上（进程列表可见）：请用 --" + param.name +
                        "-file、--" + param.name + " -";
  if (!param.secret_env.empty()) refusal += " 或环境变量 " + param.secret_env;
  CLI::Option* file = app.add_option("--" + param.name + "-file", given.secret_file[param.name],
                                     "从文件读取" + param.help);
  CLI::Option* dash =
      app.add_option("--" + param.name, given.text[param.name],
                     "只能是 -：从标准输入读取 " + param.name + "（" + param.name +
                         " 是机密，不能直接写在命令行上）")
          ->check(CLI::Validator(
              [refusal](std::string& value) { return value == "-" ? std::string() : refusal; },
              "-"));
  file->excludes(dash);
  given.option[param.name] = dash;
  given.file_option[param.name] = file;
}

void add_param_option(CLI::App& app, const Param& param, Given& given) {
  if (param.secret == SecretSource::stdin_prompt) return;
  if (param.secret == SecretSource::file_or_stdin) {
    add_secret_options(app, param, given);
    return;
  }
  CLI::Option* option = nullptr;
  if (param.type == ParamType::flag) {
    option = app.add_flag(option_name(param), given.flag[param.name], param.help);
  } else if (param.type == ParamType::text_list) {
    option = app.add_option(option_name(param), given.list[param.name], param.help);
    if (has_checks(param)) option->check(value_check(param));
  } else {
    const std::string name = param.positional ? positional_name(param) : option_name(param);
    option = app.add_option(name, given.text[param.name], param.help);
    if (has_checks(param)) option->check(value_check(param));
  }
  if (param.required) option->required();
  given.option[param.name] = option;
}

void add_exclusions(const Command& command, Given& given) {
  for (const Param& param : command.params) {
    for (const std::string& other : param.excludes) {
      for (auto* mine : {given.option[param.name], given.file_option[param.name]}) {
        for (auto* theirs : {given.option[other], given.file_option[other]}) {
          if (mine && theirs) mine->excludes(theirs);
        }
      }
    }
  }
}

// The arguments as given, converted; reading files, standard input and secrets happens here,
// after parsing, so that their failures are errors (exit 1), not usage errors.
commands::Arguments arguments_of(const Command& command, const Given& given) {
  commands::Arguments arguments;
  for (const Param& param : command.params) {
    if (param.secret == SecretSource::stdin_prompt) {
      arguments.set(param.name, read_secret_line(param.help), nullptr);
      continue;
    }
    if (param.secret == SecretSource::file_or_stdin) {
      if (given.file_option.at(param.name)->count() > 0) {
        arguments.set(param.name, read_secret(given.secret_file.at(param.name)), nullptr);
      } else if (given.option.at(param.name)->count() > 0) {
        arguments.set(param.name, read_secret("-"), nullptr);
      }
      continue;
    }
    if (given.option.at(param.name)->count() == 0) continue;
    switch (param.type) {
      case ParamType::flag:
        arguments.set(param.name, given.flag.at(param.name), true);
        break;
      case ParamType::text_list:
        arguments.set(param.name, given.list.at(param.name), given.list.at(param.name));
        break;
      case ParamType::json_object: {
        const std::string& text = given.text.at(param.name);
        arguments.set(param.name, commands::json_object_value(param, text), text);
        break;
      }
      default: {
        const std::string& text = given.text.at(param.name);
        arguments.set(param.name, commands::text_value(param, text), text);
      }
    }
  }
  commands::fill_defaults(command, arguments);
  return arguments;
}

bool wants_progress(const Command& command, const commands::Arguments& arguments) {
  const bool has_quiet = std::any_of(command.params.begin(), command.params.end(),
                                     [](const Param& param) { return param.name == "quiet"; });
  return has_quiet && !arguments.flag("quiet") && ::isatty(STDERR_FILENO);
}

int run_on_terminal(const Command& command, const Given& given) {
  const commands::Arguments arguments = arguments_of(command, given);
  StdoutSink sink;
  commands::Context context{.output = sink, .front = commands::Front::terminal};
  if (wants_progress(command, arguments)) {
    context.progress = [](const std::string& message) {
      std::cerr << "· " << message << "\n" << std::flush;
    };
  }
  context.notice = [](const std::string& message) { std::cerr << message << "\n" << std::flush; };
  command.run(arguments, context);
  return context.exit_status;
}

// The subcommand for `path`, made from its group's entry the first time it is needed.
CLI::App& group_app(CLI::App& root, const std::vector<std::string>& path) {
  CLI::App* app = &root;
  for (std::size_t depth = 1; depth <= path.size(); ++depth) {
    const std::string& word = path[depth - 1];
    const std::vector<CLI::App*> existing =
        app->get_subcommands([&word](CLI::App* sub) { return sub->get_name() == word; });
    if (!existing.empty()) {
      app = existing.front();
      continue;
    }
    const std::vector<std::string> prefix(path.begin(), path.begin() + depth);
    const auto& groups = commands::command_groups();
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const commands::Group& g) { return g.path == prefix; });
    app = app->add_subcommand(word, group != groups.end() ? group->description : "");
    app->require_subcommand(1);
    if (group != groups.end() && !group->footer.empty()) app->footer(group->footer);
  }
  return *app;
}

void add_command(CLI::App& root, const Command& command, Action& selected) {
  const std::vector<std::string> parent(command.path.begin(), command.path.end() - 1);
  CLI::App& group = group_app(root, parent);
  std::string description = command.summary;
  if (!command.description.empty()) description += "\n" + command.description;
  CLI::App* app = group.add_subcommand(command.path.back(), description);
  if (!command.footer.empty()) app->footer(command.footer);
  auto given = std::make_shared<Given>();
  for (const Param& param : command.params) add_param_option(*app, param, *given);
  add_exclusions(command, *given);
  app->callback([&command, given, &selected] {
    selected = [&command, given] { return run_on_terminal(command, *given); };
  });
}

}  // namespace

void add_table_commands(CLI::App& app, Action& selected) {
  for (const Command& command : commands::command_table()) add_command(app, command, selected);
}

void before_command() {
  if (!get_env("VENDRO_NO_UPDATE_CHECK")) shared::check_and_notify();
}

}  // namespace vendro::cli
