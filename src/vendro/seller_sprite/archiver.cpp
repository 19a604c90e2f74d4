#include "vendro/seller_sprite/archiver.hpp"

#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::seller_sprite {

namespace {

// One path component that stays inside its parent.
bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
}

}  // namespace

SellerSpriteArchiver::SellerSpriteArchiver(std::filesystem::path run_dir)
    : run_dir_(std::filesystem::absolute(run_dir)) {}

std::filesystem::path SellerSpriteArchiver::section_dir(const std::string& section) const {
  if (!plain_name(section)) throw InputError("归档分区名无效：" + section);
  std::filesystem::path dir = run_dir_ / section;
  files::make_dirs(dir);
  return dir;
}

asio::awaitable<Json> SellerSpriteArchiver::archive_page(std::shared_ptr<browser::Page> page,
                                                         std::string section) {
  std::string html = co_await page->content();
  browser::ScreenshotOptions whole{.full_page = true};
  std::string png = co_await page->screenshot(whole);
  const std::filesystem::path dir = section_dir(section);
  files::write_atomic(dir / "page.html", html);
  files::write_atomic(dir / "page.png", png);
  files::write_atomic(dir / "page_url.txt", page->url() + "\n");
  Json written = Json::object();
  written[section + "_html"] = (dir / "page.html").string();
  written[section + "_screenshot"] = (dir / "page.png").string();
  written[section + "_url"] = (dir / "page_url.txt").string();
  co_return written;
}

asio::awaitable<Json> SellerSpriteArchiver::archive_locator(browser::Locator locator,
                                                            std::string section) {
  std::string png = co_await locator.screenshot();
  const std::filesystem::path path = section_dir(section) / "element.png";
  files::write_atomic(path, png);
  Json written = Json::object();
  written[section + "_element_screenshot"] = path.string();
  co_return written;
}

std::string SellerSpriteArchiver::save_json(const std::string& section, const std::string& filename,
                                            const Json& payload) {
  if (!plain_name(filename)) throw InputError("文件名无效：" + filename);
  const std::filesystem::path path = section_dir(section) / filename;
  files::write_atomic(path, to_pretty_json(payload));
  return path.string();
}

}  // namespace vendro::seller_sprite
