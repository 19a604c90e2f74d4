#include "vendro/seller_sprite/account_store.hpp"

#include <exception>
#include <system_error>

#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/yaml.hpp"
#include "vendro/seller_sprite/errors.hpp"

namespace vendro::seller_sprite {

namespace {

constexpr const char* USERNAME_ENV = "VENDRO_SELLERSPRITE_USERNAME";
constexpr const char* PASSWORD_ENV = "VENDRO_SELLERSPRITE_PASSWORD";

// The file's values, or an empty account when there is no file.
Account read_file() {
  const std::filesystem::path path = account_file();
  std::error_code ignored;
  if (!std::filesystem::exists(path, ignored)) return {};
  Json stored;
  try {
    stored = yaml::load_file(path);
  } catch (const Error&) {
    std::throw_with_nested(SellerSpriteConfigError("无法读取卖家精灵账号文件：" + path.string()));
  }
  if (stored.is_null()) return {};
  if (!stored.is_object()) {
    throw SellerSpriteConfigError("卖家精灵账号文件应为 username、password 两项：" + path.string());
  }
  Account account;
  for (const char* key : {"username", "password"}) {
    if (!stored.contains(key) || stored[key].is_null()) continue;
    const Json& value = stored[key];
    if (value.is_object() || value.is_array()) {
      throw SellerSpriteConfigError("卖家精灵账号文件中的 " + std::string(key) + " 应为文本：" +
                                    path.string());
    }
    account[key] = value.is_string() ? value.get<std::string>() : to_compact_json(value);
  }
  return account;
}

}  // namespace

std::filesystem::path account_file() {
  return config_dir() / "seller_sprite" / "account.yaml";
}

std::optional<Account> load_account() {
  Account account = read_file();
  if (auto username = get_env(USERNAME_ENV)) account["username"] = *username;
  if (auto password = get_env(PASSWORD_ENV)) account["password"] = *password;
  const bool any = (account.contains("username") && !account["username"].empty()) ||
                   (account.contains("password") && !account["password"].empty());
  if (!any) return std::nullopt;
  return account;
}

void save_account(const std::string& username, const std::string& password) {
  if (username.empty()) throw InputError("卖家精灵用户名不能为空");
  Json doc = Json::object();
  doc["username"] = username;
  doc["password"] = password;
  files::write_atomic(account_file(), yaml::dump(doc), std::filesystem::perms(0600));
}

bool clear_account() {
  std::error_code error;
  const bool removed = std::filesystem::remove(account_file(), error);
  if (error) {
    throw FileError("无法删除卖家精灵账号文件：" + account_file().string() + "（" +
                    error.message() + "）");
  }
  return removed;
}

Json describe_account() {
  const Account stored = read_file();
  const std::optional<std::string> env_username = get_env(USERNAME_ENV);
  const std::optional<std::string> env_password = get_env(PASSWORD_ENV);
  auto stored_value = [&](const char* key) {
    auto it = stored.find(key);
    return it == stored.end() ? std::string() : it->second;
  };
  const std::string username = env_username ? *env_username : stored_value("username");
  const bool password_set = env_password || !stored_value("password").empty();

  Json source = Json::object();
  source["username"] = env_username       ? USERNAME_ENV
                       : username.empty() ? Json(nullptr)
                                          : Json("account.yaml");
  source["password"] = env_password   ? PASSWORD_ENV
                       : password_set ? Json("account.yaml")
                                      : Json(nullptr);
  Json described = Json::object();
  described["configured"] = !username.empty() || password_set;
  described["username"] = username.empty() ? Json(nullptr) : Json(username);
  described["password_set"] = password_set;
  described["file"] = account_file().string();
  described["source"] = std::move(source);
  return described;
}

}  // namespace vendro::seller_sprite
