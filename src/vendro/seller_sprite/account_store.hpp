#pragma once
// The stored SellerSprite account: CONFIG_DIR/seller_sprite/account.yaml ("username",
// "password"; mode 0600), each value overridden by VENDRO_SELLERSPRITE_USERNAME and
// VENDRO_SELLERSPRITE_PASSWORD. The password is never part of anything this returns for display.

#include <filesystem>
#include <optional>
#include <string>

#include "vendro/core/json.hpp"
#include "vendro/seller_sprite/options.hpp"

namespace vendro::seller_sprite {

// CONFIG_DIR/seller_sprite/account.yaml.
std::filesystem::path account_file();

// The account to log in with, or nothing when neither a user name nor a password is configured.
// Throws SellerSpriteConfigError for a file that is not a map of text values (YAML and file
// errors are kept as its cause).
std::optional<Account> load_account();

// Writes account_file() atomically with mode 0600. An empty user name is an InputError.
void save_account(const std::string& username, const std::string& password);

// Removes account_file(); true when there was one.
bool clear_account();

// {"configured", "username", "password_set", "file", "source"} for `account show`: where each
// value comes from, never the password itself.
Json describe_account();

}  // namespace vendro::seller_sprite
