// The seed record through its file, and what a damaged file is told apart by.

#include "vendro/amazon_rufus/models.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.hpp"

namespace vendro::amazon_rufus {
namespace {

using testing::TempDir;

SeedRequestRecord sample_seed() {
  return {.request_url = "https://www.amazon.com/rufus/cl/streaming?tabId=t-1",
          .request_headers = {{"Content-Type", "application/json"}, {"anti-csrftoken-a2z", "tok"}},
          .request_body = R"({"queryContext": {"query": "防水吗"}})",
          .page_url = "https://www.amazon.com/dp/B0ABC12345",
          .tab_id = "t-1",
          .asin = "B0ABC12345",
          .country = "US",
          .captured_at = 1733700000123};
}

void expect_same(const SeedRequestRecord& a, const SeedRequestRecord& b) {
  EXPECT_EQ(a.to_json(), b.to_json());
  EXPECT_EQ(a.request_headers, b.request_headers);
  EXPECT_EQ(a.captured_at, b.captured_at);
}

TEST(RufusSeedFile, RoundTripsOwnerOnlyWithMembersInOrder) {
  TempDir dir;
  const auto file = dir / "seeds/us.json";
  const mode_t umask_before = ::umask(0);  // the mode must not come from the umask
  save_seed(sample_seed(), file);
  ::umask(umask_before);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string text = testing::read_file(file);
  EXPECT_TRUE(text.starts_with("{\n  \"request_url\": ")) << text;
  EXPECT_NE(text.find("防水吗"), std::string::npos);  // non-ASCII stays readable
  const std::vector<std::string> order = {"request_url", "request_headers", "request_body",
                                          "page_url",    "tab_id",          "asin",
                                          "country",     "captured_at"};
  std::vector<std::string> keys;
  const Json written = Json::parse(text);
  for (const auto& [key, value] : written.items()) keys.push_back(key);
  EXPECT_EQ(keys, order);
  expect_same(load_seed(file), sample_seed());

  // Replacing keeps the mode and leaves no temporary file behind.
  SeedRequestRecord second = sample_seed();
  second.request_headers.clear();
  second.captured_at = -1;
  save_seed(second, file);
  expect_same(load_seed(file), second);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "seeds"), {}), 1);
}

TEST(RufusSeedFile, RefusesBadMembersByName) {
  const Json good = sample_seed().to_json();
  const std::pair<const char*, Json> damaged[] = {{"request_url", nullptr},
                                                  {"request_headers", Json::array()},
                                                  {"request_body", Json{{"a", 1}}},
                                                  {"tab_id", 1},
                                                  {"asin", false},
                                                  {"captured_at", 1.5},
                                                  {"captured_at", "1733700000123"},
                                                  {"captured_at", 18446744073709551615ULL}};
  for (const auto& [name, value] : damaged) {
    Json seed = good;
    seed[name] = value;
    try {
      SeedRequestRecord::from_json(seed);
      ADD_FAILURE() << "accepted " << name << " = " << value.dump();
    } catch (const InputError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("\"") + name + "\""), std::string::npos)
          << e.what();
    }
  }
  for (const char* name : {"page_url", "country"}) {
    Json seed = good;
    seed.erase(name);
    EXPECT_THROW(SeedRequestRecord::from_json(seed), InputError) << name;
  }
  Json header = good;
  header["request_headers"]["X-Count"] = 3;
  EXPECT_THROW(SeedRequestRecord::from_json(header), InputError);
  EXPECT_THROW(SeedRequestRecord::from_json(Json::array({good})), InputError);
  // Members it does not know are no fault.
  Json extra = good;
  extra["note"] = "手工添加";
  expect_same(SeedRequestRecord::from_json(extra), sample_seed());
}

TEST(RufusSeedFile, LoadNamesTheFileAndBoundsItsSize) {
  TempDir dir;
  testing::write_file(dir / "bad.json", R"({"request_url": "x"})");
  try {
    load_seed(dir / "bad.json");
    ADD_FAILURE() << "accepted a seed without headers";
  } catch (const InputError& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find((dir / "bad.json").string()), std::string::npos) << message;
    EXPECT_NE(message.find("\"request_headers\""), std::string::npos) << message;
  }
  testing::write_file(dir / "huge.json", "\"" + std::string(1 << 20, 'a') + "\"");
  EXPECT_THROW(load_seed(dir / "huge.json"), FileError);
  testing::write_file(dir / "broken.json", "{");
  EXPECT_THROW(load_seed(dir / "broken.json"), JsonError);
  EXPECT_THROW(load_seed(dir / "missing.json"), FileError);
}

TEST(RufusAnswer, ThreadIdIsNullWhenAbsent) {
  AnswerData answer{.text = "好", .raw = "r"};
  EXPECT_EQ(answer.to_json().dump(), R"({"text":"好","thread_id":null,"raw":"r"})");
  answer.thread_id = "t";
  EXPECT_EQ(answer.to_json()["thread_id"], "t");
}

}  // namespace
}  // namespace vendro::amazon_rufus
