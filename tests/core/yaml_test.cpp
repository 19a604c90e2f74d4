#include "vendro/core/yaml.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>

#include "support/temp_dir.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::yaml {
namespace {

TEST(Yaml, PlainScalarsResolveLikeASafeYaml11Loader) {
  Json doc = parse(R"(
mobile: 13800138000
sep: 1_5
octal: 017
hex: 0x1F
base60: 1:30
neg: -42
yes_word: yes
on_word: On
off_word: OFF
t: True
nothing: ~
empty:
fl: 1.5
exp_no_dot: 1e5
inf: -.inf
date: 2024-01-02
zero_lead: 089
text: hello world
)");
  EXPECT_EQ(doc["mobile"], 13800138000LL);
  EXPECT_EQ(doc["mobile"].dump(), "13800138000");
  EXPECT_EQ(doc["sep"], 15);
  EXPECT_EQ(doc["octal"], 15);
  EXPECT_EQ(doc["hex"], 31);
  EXPECT_EQ(doc["base60"], 90);
  EXPECT_EQ(doc["neg"], -42);
  EXPECT_EQ(doc["yes_word"], true);
  EXPECT_EQ(doc["on_word"], true);
  EXPECT_EQ(doc["off_word"], false);
  EXPECT_EQ(doc["t"], true);
  EXPECT_TRUE(doc["nothing"].is_null());
  EXPECT_TRUE(doc["empty"].is_null());
  EXPECT_EQ(doc["fl"], 1.5);
  EXPECT_EQ(doc["exp_no_dot"], "1e5");
  EXPECT_TRUE(std::isinf(doc["inf"].get<double>()));
  EXPECT_EQ(doc["date"], "2024-01-02");
  EXPECT_EQ(doc["zero_lead"], "089");
  EXPECT_EQ(doc["text"], "hello world");
}

TEST(Yaml, QuotedScalarsAndCoreTagsStayWhatTheySay) {
  Json doc = parse("a: '13800138000'\nb: \"yes\"\nc: !!str 12\nd: !!int '7'\ne: !!float 3\n");
  EXPECT_EQ(doc["a"], "13800138000");
  EXPECT_EQ(doc["b"], "yes");
  EXPECT_EQ(doc["c"], "12");
  EXPECT_EQ(doc["d"], 7);
  EXPECT_EQ(doc["e"], 3.0);
}

TEST(Yaml, ObjectBuildingTagsAndMalformedDocumentsFail) {
  EXPECT_THROW(parse("x: !!python/object:os.system {}\n"), YamlError);
  EXPECT_THROW(parse("x: !!python/object/apply:os.system ['ls']\n"), YamlError);
  EXPECT_THROW(parse("x: !custom 1\n"), YamlError);
  EXPECT_THROW(parse("a: [1, 2\n"), YamlError);
  EXPECT_THROW(parse("a: !!int abc\n"), YamlError);
  try {
    parse("ok: 1\nbad: !!python/name:os.system ''\n", "notify.yaml");
    FAIL();
  } catch (const YamlError& e) {
    EXPECT_NE(std::string(e.what()).find("notify.yaml 第 2 行"), std::string::npos) << e.what();
  }
}

TEST(Yaml, NestingKeyOrderDuplicatesAndEmptyDocuments) {
  Json doc = parse("z: 1\na:\n  - x: 1\n  - [1, two]\nz: 2\n");
  EXPECT_EQ(doc.dump(), R"({"z":2,"a":[{"x":1},[1,"two"]]})");
  EXPECT_TRUE(parse("").is_null());
  EXPECT_TRUE(parse("# only a comment\n").is_null());
}

TEST(Yaml, DumpReadsBackTheSameData) {
  Json value = {{"base_url", "https://sif.example"},
                {"token", "yes"},
                {"phone", "13800138000"},
                {"count", 3},
                {"nested", {{"名称", "卖家精灵"}, {"flag", false}, {"none", nullptr}}}};
  std::string text = dump(value);
  EXPECT_NE(text.find("卖家精灵"), std::string::npos) << text;
  EXPECT_EQ(parse(text), value);
}

}  // namespace
}  // namespace vendro::yaml

namespace vendro::yaml {
namespace {

TEST(Yaml, LongScalarsResolveInOnePass) {
  // Tens of thousands of digits once overflowed the stack in a backtracking matcher.
  std::string digits(28000, '7');
  Json doc = parse("a: " + digits + "\nb: " + digits + ".5\nc: 0x" + digits + "\nd: 0." + digits +
                   "\ne: 1" + std::string(28000, '_') + "\n");
  EXPECT_EQ(doc["a"], digits);
  EXPECT_TRUE(std::isinf(doc["b"].get<double>()));  // as a safe loader reads 1e28000
  EXPECT_EQ(doc["c"], "0x" + digits);
  EXPECT_NEAR(doc["d"].get<double>(), 0.7777, 1e-4);
  EXPECT_EQ(doc["e"], 1);
}

TEST(Yaml, EdgeFormsOfTheCoreSchema) {
  Json doc = parse(
      "a: 0b1_01\nb: -0x_ff\nc: 190:20:30\nd: 1:60\ne: 0b_\nf: ._\ng: +.5\nh: 1.5e+3\n"
      "i: 1.5e3\nj: +.nan\nk: 0:30\nl: -0\nm: 0_7\nn: .\no: -9223372036854775808\n");
  EXPECT_EQ(doc["a"], 5);
  EXPECT_EQ(doc["b"], -255);
  EXPECT_EQ(doc["c"], 685230);
  EXPECT_EQ(doc["d"], "1:60");
  EXPECT_EQ(doc["e"], "0b_");
  EXPECT_EQ(doc["f"], "._");
  EXPECT_EQ(doc["g"], 0.5);
  EXPECT_EQ(doc["h"], 1500.0);
  EXPECT_EQ(doc["i"], "1.5e3");  // the exponent needs its sign
  EXPECT_EQ(doc["j"], "+.nan");
  EXPECT_EQ(doc["k"], "0:30");
  EXPECT_EQ(doc["l"], 0);
  EXPECT_EQ(doc["m"], 7);
  EXPECT_EQ(doc["n"], ".");
  EXPECT_EQ(doc["o"], std::numeric_limits<long long>::min());
}

TEST(Yaml, NestingAndFileSizeAreBounded) {
  // "- - - 1": block sequences nested on one line (the parser itself refuses deep flow style).
  auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "- ";
    return text + "1\n";
  };
  EXPECT_THROW(parse(nested(MAX_JSON_DEPTH + 1), "templates.yaml"), YamlError);
  EXPECT_THROW(parse(std::string(100000, '['), "templates.yaml"), YamlError);
  Json fits = parse(nested(400));
  EXPECT_EQ(to_compact_json(fits).size(), 2 * 400 + 1u);

  testing::TempDir dir;
  testing::write_file(dir / "big.yaml", "a: " + std::string(files::SETTINGS_FILE_LIMIT, 'x'));
  EXPECT_THROW(load_file(dir / "big.yaml"), FileError);
  ASSERT_EQ(::mkfifo((dir / "fifo.yaml").c_str(), 0600), 0);
  EXPECT_THROW(load_file(dir / "fifo.yaml"), FileError);
}

TEST(Yaml, IntegersBeyond64BitsStayTextInsteadOfFailing) {
  Json doc =
      parse("big: 99999999999999999999\nhex: 0x1FFFFFFFFFFFFFFFFF\nfits: 18446744073709551615\n");
  EXPECT_EQ(doc["big"], "99999999999999999999");
  EXPECT_EQ(doc["hex"], "0x1FFFFFFFFFFFFFFFFF");
  EXPECT_EQ(doc["fits"], 18446744073709551615ULL);
}

}  // namespace
}  // namespace vendro::yaml
