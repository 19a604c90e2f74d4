#pragma once
// One headless browser shared by the tests of a suite (launching costs most of a test's time),
// with a fresh context per test, and a local server for the pages.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <memory>

#include "support/local_server.hpp"
#include "vendro/browser/blocking.hpp"
#include "vendro/browser/browser.hpp"

namespace vendro::testing {

class BrowserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    io_ = std::make_unique<asio::io_context>();
    browser_ = run(vendro::browser::launch());
  }
  static void TearDownTestSuite() {
    if (browser_) run(browser_->close());
    browser_.reset();
    io_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(browser_ && browser_->is_connected());
    context_ = run(browser_->new_context());
    page_ = run(context_->new_page());
  }
  void TearDown() override {
    if (context_ && browser_->is_connected()) run(context_->close());
  }

  template <class T>
  static T run(asio::awaitable<T> operation) {
    return vendro::browser::run_blocking(*io_, std::move(operation));
  }

  static inline std::unique_ptr<asio::io_context> io_;
  static inline std::shared_ptr<vendro::browser::Browser> browser_;
  std::shared_ptr<vendro::browser::BrowserContext> context_;
  std::shared_ptr<vendro::browser::Page> page_;
  LocalServer server_;
};

}  // namespace vendro::testing
