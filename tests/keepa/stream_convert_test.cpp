#include "vendro/keepa/stream_convert.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "keepa/pipe_like_output.hpp"
#include "keepa/sample_documents.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/json.hpp"
#include "vendro/keepa/keepa_time.hpp"

namespace vendro::keepa {
namespace {

// What the streaming converter must reproduce byte for byte.
std::string reference(const std::string& input) {
  return to_pretty_json(add_keepa_time_conversions(Json::parse(input)));
}

std::string convert_through_pipe(const std::string& input) {
  PipeLikeOutput output;
  convert_stream(input, output);
  return output.text;
}

void expect_same_as_tree(const std::string& input) {
  const std::string expected = reference(input);
  EXPECT_EQ(convert_to_string(input), expected) << "input: " << input;
  EXPECT_EQ(convert_through_pipe(input), expected) << "input: " << input;
}

TEST(StreamConvert, MatchesTheTreeOnHandPickedDocuments) {
  const std::vector<std::string> inputs = {
      // scalars, empty containers, top-level arrays
      "0",
      "-1",
      "7654321",
      "\"7654321\"",
      "true",
      "null",
      "1.0",
      "1e300",
      "-0.0",
      "0.1",
      "18446744073709551615",
      "-9223372036854775808",
      "100000000000000000000",
      "\"\"",
      "[]",
      "{}",
      "[[]]",
      "[{}]",
      "{\"a\":[]}",
      "{\"a\":{}}",
      "[1,[2,[3,{\"lastSeen\":4}]]]",
      R"([{"lastUpdate":7654321},{"lastUpdate":-1},{"lastUpdate":true}])",
      // the documented members, values and names
      R"({"lastUpdate":7654321,"lastUpdate2":1,"last_update":5,"last-Update":5.5,
          "offersLastSeen":"  7654321 ","timestamp":7654321,"tokensLeft":5,"requestTime":9,
          "tracking since":123.5,"trackingSince":20000000,"listedSince":20000001,
          "lastPriceChange":"","lastRatingUpdate":"2025-01-01","lastStockUpdate":null,
          "lastOffersUpdate":[1],"lastSeen":{"x":1}})",
      // csv histories, good and not
      R"({"csv":[[7654321,1999,7654381,-1],null,[5]]})",
      R"({"csv":[[1,2,3],[-1,5],[4]]})",
      R"({"csv":[]})",
      R"({"csv":5})",
      R"({"csv":{"a":[1,2]}})",
      R"({"csv":[["7654321",{"a":1},-1,[2]]]})",
      R"({"csv":[{"lastUpdate":1},[1,2,"x",{"lastSeen":3}]]})",
      R"({"csv":[[1,2],{"csv":[[3,4]]}]})",
      R"({"products":[{"csv":[[1,2]],"stats":{"csv":[[3,4]]}}]})",
      // unicode, escapes
      R"({"title":"防水蓝牙耳机 \u00e9\ud83d\ude00","tab\tkey":"a\"b\\c\n","lastSeen名":1})",
      "{\"\xe2\x80\x83lastSeen\":\"\xe2\x80\x83 12 \xe2\x80\x83\"}",
      // collisions: an added name already in the input, before and after
      R"({"lastUpdateUtc":"old","lastUpdate":7654321})",
      R"({"lastUpdate":7654321,"lastUpdateUnixSeconds":1,"lastUpdateUtc":"x"})",
      R"({"csvUnixSeconds":[],"csv":[[1,2]]})",
      R"({"csv":[[1,2]],"csvUnixSeconds":"mine"})",
      // duplicate input names: first position, last value; its added members follow its
      // first position and come from its last value
      R"({"a":1,"b":2,"a":3})",
      R"({"lastUpdate":1,"x":0,"lastUpdate":-1})",
      R"({"lastUpdate":-1,"x":0,"lastUpdate":5})",
      R"({"csv":[[1,2]],"x":0,"csv":[[3,4,5]]})",
      R"({"csv":null,"x":0,"csv":[[3,4]]})",
      R"({"a":{"lastSeen":1,"lastSeen":2},"a":{"lastSeen":3}})",
      // collisions at several depths, including the root and inside held members
      R"({"lastSeen":1,"lastSeenUtc":0,"p":{"q":[{"lastSeen":2,"lastSeen":3}]}})",
      R"([{"k":{"k":{"lastSeen":1,"lastSeenUnixMilliseconds":2}},"k":1}])",
      R"({"x":{"csv":[[1,2]],"csv":[[{"a":1,"a":2},2]]}})",
      R"({"lastSeen":1,"lastSeenUnixSeconds":{"lastSeen":2,"lastSeenUtc":[{"lastSeen":3,"lastSeen":4}]}})",
  };
  for (const std::string& input : inputs) expect_same_as_tree(input);
}

TEST(StreamConvert, ReconvertingConvertedOutputMatchesTheTree) {
  const std::string input =
      R"({"products":[{"asin":"B0TEST","lastUpdate":7654321,"trackingSince":100,
          "csv":[[7654321,1999,7654381,-1]],"stats":{"lastOffersUpdate":"7654000"}}]})";
  std::string text = input;
  for (int round = 0; round < 3; ++round) {
    expect_same_as_tree(text);
    text = convert_to_string(text);
  }
}

TEST(StreamConvert, NestingUpToTheLimitConvertsAndDeeperIsRefused) {
  // Each step opens three levels: an object, its "csv" array and a history inside.
  auto nested = [](std::size_t steps, const char* innermost) {
    std::string input;
    for (std::size_t i = 0; i < steps; ++i) {
      input += i % 50 == 0 ? "{\"lastSeen\":1,\"lastSeen\":2,\"csv\":[[1,2," : "{\"csv\":[[1,2,";
    }
    input += innermost;
    for (std::size_t i = 0; i < steps; ++i) input += "]]}";
    return input;
  };
  const std::size_t steps = MAX_NESTING_DEPTH / 3;
  static_assert(MAX_NESTING_DEPTH % 3 == 2);
  expect_same_as_tree(nested(steps, "[[3]]"));  // exactly the limit
  // Deep inside a large document, which the writing pass parses on a second thread.
  std::string large = many_products(6000, false);
  large.insert(large.find("{\"asin\"") + 1,
               "\"deep\":" + std::string(600, '[') + std::string(600, ']') + ",");
  for (const std::string& input :
       {nested(steps, "[[[3]]]"), std::string(30000, '[') + std::string(30000, ']'), large}) {
    std::string target = "kept";
    StringOutput output(target);
    EXPECT_THROW(convert_stream(input, output), KeepaTooDeepError) << input.size();
    EXPECT_EQ(target, "kept");
    PipeLikeOutput pipe;
    EXPECT_THROW(convert_stream(input, pipe), KeepaTooDeepError) << input.size();
    EXPECT_EQ(pipe.text, "");
  }
}

// Objects that repeat a name are held back and assembled when they close; held inside held,
// their text must move up rather than be copied at every level. The same amount of input costs
// about the same whether it is spread over many levels or few.
TEST(StreamConvert, NestedCollidingObjectsTakeLinearTime) {
  auto nested = [](std::size_t depth, std::size_t pad) {
    const std::string member = "{\"x\":0,\"pad\":\"" + std::string(pad, 'y') + "\",\"x\":";
    std::string input;
    for (std::size_t i = 0; i < depth; ++i) input += member;
    return input + "1" + std::string(depth, '}');
  };
  auto fastest = [](const std::string& input) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
      const auto start = std::chrono::steady_clock::now();
      const std::string output = convert_to_string(input);
      best = std::min(
          best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      EXPECT_GT(output.size(), input.size());
    }
    return best;
  };
  const std::string small = nested(4, 8);
  expect_same_as_tree(small);
  const std::string deep = nested(500, 20000);     // 10 MB over 500 levels
  const std::string shallow = nested(20, 500000);  // 10 MB over 20 levels
  const double deep_seconds = fastest(deep);
  const double shallow_seconds = fastest(shallow);
  // Copying at every level made the deep one over ten times slower.
  EXPECT_LT(deep_seconds, 3 * shallow_seconds) << deep_seconds << " s against " << shallow_seconds;
}

TEST(StreamConvert, NothingButWhiteSpaceMayFollowTheValue) {
  using namespace std::string_literals;
  for (const std::string& input :
       {"{}\0garbage"s, "1\0"s, "[1] \n\0 "s, "{\"lastSeen\":1}\0{\"lastSeen\":2}"s,
        many_products(6000, false) + "\0x"s, many_products(6000, true) + " \0"s}) {
    std::string target = "kept";
    StringOutput output(target);
    try {
      convert_stream(input, output);
      ADD_FAILURE() << "accepted " << input.size() << " bytes";
    } catch (const KeepaJsonError& e) {
      EXPECT_NE(std::string(e.what()).find("NUL"), std::string::npos) << e.what();
    }
    EXPECT_EQ(target, "kept");
    PipeLikeOutput pipe;
    EXPECT_THROW(convert_stream(input, pipe), KeepaJsonError) << input.size();
    EXPECT_EQ(pipe.text, "");
  }
  expect_same_as_tree("{} \n\t\r ");
}

TEST(StreamConvert, LargeDocumentsMatchTheTree) {
  for (bool collide : {false, true}) {
    const std::string input = many_products(6000, collide);
    ASSERT_GT(input.size(), 1u << 20);
    expect_same_as_tree(input);
  }
  const std::string whole = many_products(6000, true);
  const std::string truncated = whole.substr(0, whole.size() - 1000);
  std::string target;
  StringOutput output(target);
  EXPECT_THROW(convert_stream(truncated, output), KeepaJsonError);
  EXPECT_EQ(target, "");
}

TEST(StreamConvert, InvalidInputWritesNothing) {
  for (const std::string input :
       {"", "{", "{\"a\":1,}", "[1 2]", "{\"a\":1} x", "nul", "\"ab\xff\"", "\"\\ud800\"", "1e999",
        "{\"lastSeen\":1,\"lastSeen\":2,"}) {
    std::string target = "kept";
    StringOutput output(target);
    EXPECT_THROW(convert_stream(input, output), KeepaJsonError) << input;
    EXPECT_EQ(target, "kept");
    PipeLikeOutput pipe;
    EXPECT_THROW(convert_stream(input, pipe), KeepaJsonError) << input;
    EXPECT_EQ(pipe.text, "");
  }
  try {
    convert_to_string("{\"a\":");
    FAIL();
  } catch (const KeepaJsonError& e) {
    EXPECT_NE(std::string(e.what()).find("Keepa 数据不是有效的 JSON：[json.exception.parse_error"),
              std::string::npos);
  }
}

TEST(StreamConvert, RegularFileIsRewoundToWhereWritingBegan) {
  testing::TempDir dir;
  const auto path = dir.path() / "out.json";
  const std::string collided = R"({"a":1,"a":{"lastSeen":5}})";  // needs the second pass
  for (int extra_flags : {0, O_APPEND}) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | extra_flags, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "head\n", 5), 5);
    {
      FdOutput output(fd, "文件");
      ASSERT_TRUE(output.can_rewind());
      convert_stream(collided, output);
    }
    {
      FdOutput output(fd, "文件");
      EXPECT_THROW(convert_stream("{\"lastSeen\":1,\"lastSeen\":2,\"x\":[1,2", output),
                   KeepaJsonError);
    }
    ::close(fd);
    EXPECT_EQ(testing::read_file(path), "head\n" + reference(collided)) << extra_flags;
  }
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_FALSE(FdOutput(fds[1], "管道").can_rewind());
  ::close(fds[0]);
  ::close(fds[1]);
  const int null_fd = ::open("/dev/null", O_WRONLY);
  EXPECT_TRUE(FdOutput(null_fd, "空设备").can_rewind());
  ::close(null_fd);
}

// Random documents built from names and values that provoke every rule: time names, added
// names, "csv", duplicates; minute values as numbers and text, -1, floats, nesting.
class RandomDocument {
 public:
  explicit RandomDocument(unsigned seed) : rng_(seed) {}

  std::string make() {
    std::string out;
    value(out, 0);
    return out;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  void scalar(std::string& out) {
    static const std::vector<std::string> scalars = {"0",
                                                     "7654321",
                                                     "-1",
                                                     "20000000",
                                                     "20000001",
                                                     "123.5",
                                                     "1.0",
                                                     "-0.0",
                                                     "1e300",
                                                     "\"7654321\"",
                                                     "\" 12 \"",
                                                     "\"\"",
                                                     "\"x\"",
                                                     "true",
                                                     "false",
                                                     "null",
                                                     "18446744073709551615",
                                                     "-5",
                                                     "1e-400",
                                                     "\"5e3\"",
                                                     "\"名\"",
                                                     "0.30000000000000004"};
    out += scalars[pick(static_cast<int>(scalars.size()))];
  }

  void value(std::string& out, int depth) {
    const int kind = depth > 4 ? 0 : pick(10);
    if (kind < 4) {
      scalar(out);
    } else if (kind < 6) {
      out += '[';
      const int n = pick(5);
      for (int i = 0; i < n; ++i) {
        if (i) out += ',';
        if (pick(2))
          scalar(out);
        else
          value(out, depth + 1);
      }
      out += ']';
    } else {
      object(out, depth);
    }
  }

  void object(std::string& out, int depth) {
    static const std::vector<std::string> names = {"lastUpdate",
                                                   "lastUpdateUnixSeconds",
                                                   "lastUpdateUnixMilliseconds",
                                                   "lastUpdateUtc",
                                                   "lastSeen",
                                                   "lastSeenUtc",
                                                   "csv",
                                                   "csvUnixSeconds",
                                                   "timestamp",
                                                   "tracking since",
                                                   "a",
                                                   "b",
                                                   "title"};
    out += '{';
    const int n = pick(7);
    for (int i = 0; i < n; ++i) {
      if (i) out += ',';
      const std::string& name = names[pick(static_cast<int>(names.size()))];
      out += '"' + name + "\":";
      if (name == "csv" && pick(3)) {
        csv(out);
      } else {
        value(out, depth + 1);
      }
    }
    out += '}';
  }

  void csv(std::string& out) {
    out += '[';
    const int n = pick(4);
    for (int i = 0; i < n; ++i) {
      if (i) out += ',';
      if (pick(4) == 0) {
        value(out, 3);
        continue;
      }
      out += '[';
      const int len = pick(6);
      for (int j = 0; j < len; ++j) {
        if (j) out += ',';
        if (pick(8) == 0) {
          value(out, 3);
        } else {
          scalar(out);
        }
      }
      out += ']';
    }
    out += ']';
  }

  std::mt19937 rng_;
};

TEST(StreamConvert, MatchesTheTreeOnRandomDocuments) {
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    const std::string input = RandomDocument(seed).make();
    SCOPED_TRACE(input);
    expect_same_as_tree(input);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace vendro::keepa
