#pragma once
// Archives of what a page showed during a collection, written below the run directory: per
// section a folder RUN_DIR/<section>/ with the page's HTML, a full-page PNG screenshot and its URL,
// element screenshots, and JSON files. Every files map this returns maps "<section>_<kind>" to the
// absolute path of one file, so maps of several sections merge without overwriting each other.
// Used on one io_context; not thread-safe.

#include <asio/awaitable.hpp>
#include <filesystem>
#include <memory>
#include <string>

#include "vendro/browser/locator.hpp"
#include "vendro/browser/page.hpp"
#include "vendro/core/json.hpp"

namespace vendro::seller_sprite {

class SellerSpriteArchiver {
 public:
  // Nothing is created until something is written.
  explicit SellerSpriteArchiver(std::filesystem::path run_dir);

  // Writes "page.html", "page.png" (the whole page, device scale factor 1) and "page_url.txt" for
  // `section`; returns {"<section>_html", "<section>_screenshot", "<section>_url"}. Throws the
  // driver's errors (a closed page) and FileError.
  asio::awaitable<Json> archive_page(std::shared_ptr<browser::Page> page, std::string section);

  // Writes "element.png", the screenshot of the element behind `locator` once it is visible and
  // at rest; returns {"<section>_element_screenshot"}. Throws the driver's TimeoutError when the
  // element does not show within the driver's default timeout.
  asio::awaitable<Json> archive_locator(browser::Locator locator, std::string section);

  // Writes `payload` as JSON (UTF-8, non-ASCII unescaped) to RUN_DIR/<section>/<filename> and
  // returns that file's absolute path. `filename` must be a plain file name. Throws FileError.
  std::string save_json(const std::string& section, const std::string& filename,
                        const Json& payload);

 private:
  // RUN_DIR/<section>, created. A section that is not a plain directory name is an InputError.
  std::filesystem::path section_dir(const std::string& section) const;

  std::filesystem::path run_dir_;
};

}  // namespace vendro::seller_sprite
