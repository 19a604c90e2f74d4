#include "vendro/keepa/keepa_time.hpp"

#include <gtest/gtest.h>

#include "vendro/keepa/time_rules.hpp"

namespace vendro::keepa {
namespace {

using detail::is_keepa_minute_value;
using detail::should_convert_scalar_key;

TEST(KeepaTime, ConvertsTheDocumentedMinutes) {
  struct Case {
    Json minutes;
    std::int64_t seconds;
    std::int64_t milliseconds;
    const char* utc;
  };
  const Case cases[] = {
      {0, 1293840000, 1293840000000, "2011-01-01T00:00:00Z"},
      {7654321, 1753099260, 1753099260000, "2025-07-21T12:01:00Z"},
      {20000000, 2493840000, 2493840000000, "2049-01-09T21:20:00Z"},
      {123.5, 1293847410, 1293847410000, "2011-01-01T02:03:30Z"},
      {" 7654321 ", 1753099260, 1753099260000, "2025-07-21T12:01:00Z"},
      {"\xe3\x80\x80"
       "7654321\n",
       1753099260, 1753099260000, "2025-07-21T12:01:00Z"},
      {"+1e1", 1293840600, 1293840600000, "2011-01-01T00:10:00Z"},
      {".5", 1293840030, 1293840030000, "2011-01-01T00:00:30Z"},
      // Before the Keepa epoch and a sub-second fraction: truncated toward zero.
      {-1, 1293839940, 1293839940000, "2010-12-31T23:59:00Z"},
      {0.0001, 1293840000, 1293840000006, "2011-01-01T00:00:00Z"},
      {std::uint64_t{5}, 1293840300, 1293840300000, "2011-01-01T00:05:00Z"},
      // The ends of the date range.
      {-KEEPA_TIME_OFFSET_MINUTES - 1035593280, -62135596800, -62135596800000,
       "0001-01-01T00:00:00Z"},
      {4223371679 - KEEPA_TIME_OFFSET_MINUTES, 253402300740, 253402300740000,
       "9999-12-31T23:59:00Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.minutes.dump());
    EXPECT_EQ(keepa_minutes_to_unix_seconds(c.minutes), c.seconds);
    EXPECT_EQ(keepa_minutes_to_unix_milliseconds(c.minutes), c.milliseconds);
    EXPECT_EQ(keepa_minutes_to_utc_iso(c.minutes), c.utc);
  }
}

TEST(KeepaTime, RejectsValuesThatAreNoTime) {
  auto message_of = [](const Json& value) -> std::string {
    try {
      keepa_minutes_to_unix_seconds(value);
    } catch (const KeepaValueError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message_of(true), "Keepa time cannot be a boolean");
  EXPECT_EQ(message_of(false), "Keepa time cannot be a boolean");
  EXPECT_EQ(message_of(""), "Keepa time cannot be empty");
  EXPECT_EQ(message_of(" \t\xc2\xa0 "), "Keepa time cannot be empty");
  EXPECT_EQ(message_of("abc"), "Keepa time is not a number: 'abc'");
  EXPECT_EQ(message_of("2025-07-21"), "Keepa time is not a number: '2025-07-21'");
  EXPECT_EQ(message_of(nullptr), "Keepa time is not a number: 'null'");
  EXPECT_EQ(message_of(Json::array({5})), "Keepa time is not a number: '[5]'");
  for (const char* text : {"0x10", "inf", "nan", "1_000", "1e", "--1", "1 2", "."}) {
    EXPECT_NE(message_of(text).find("is not a number"), std::string::npos) << text;
  }
  EXPECT_EQ(KeepaValueError("x").code(), "KEEPA_TIME_INVALID");
  // Too large for an int64 or the calendar: an error rather than a wrapped-around number.
  EXPECT_THROW(keepa_minutes_to_unix_seconds(1e300), KeepaValueError);
  EXPECT_THROW(keepa_minutes_to_unix_milliseconds("1e999"), KeepaValueError);
  EXPECT_THROW(keepa_minutes_to_utc_iso(5e13), KeepaValueError);
  EXPECT_THROW(keepa_minutes_to_utc_iso(-KEEPA_TIME_OFFSET_MINUTES - 1035593281), KeepaValueError);
  EXPECT_THROW(keepa_minutes_to_utc_iso(4223371680 - KEEPA_TIME_OFFSET_MINUTES), KeepaValueError);
  EXPECT_EQ(keepa_minutes_to_unix_seconds(5e13), 3000001293840000);
}

TEST(KeepaTimeRules, MinuteValuesLieWithinTheRange) {
  for (const Json& value : {Json(0), Json(20000000), Json(123.5), Json("7654321"), Json(" 0 "),
                            Json(-0.0), Json("1e-400")}) {
    EXPECT_TRUE(is_keepa_minute_value(value)) << value.dump();
  }
  for (const Json& value : {Json(-1), Json(20000000.5), Json(true), Json(false), Json(nullptr),
                            Json(""), Json("2025-07-21"), Json::array({1}), Json::object(),
                            Json("1e999"), Json(std::uint64_t{18446744073709551615ULL})}) {
    EXPECT_FALSE(is_keepa_minute_value(value)) << value.dump();
  }
}

TEST(KeepaTimeRules, MemberNamesDecideWhichMinutesConvert) {
  for (const char* key :
       {"lastUpdate", "last_update", "last-Update", "LASTUPDATE", "offersLastSeen", "lastSeen",
        "tracking since", "trackingSince", "listedSince", "lastPriceChange", "lastRatingUpdate",
        "lastStockUpdate", "lastOffersUpdate", "fbaLastUpdate", "tracKing since" /* KELVIN */}) {
    EXPECT_TRUE(should_convert_scalar_key(key, 7654321)) << key;
  }
  for (const char* key :
       {"timestamp", "tokensLeft", "requestTime", "refill_in", "refillRate", "processingTimeInMs",
        "tokensConsumed", "tracking  since", "lastUpdateUtc", "price", "lastSeenAt", ""}) {
    EXPECT_FALSE(should_convert_scalar_key(key, 7654321)) << key;
  }
  EXPECT_FALSE(should_convert_scalar_key("lastUpdate", -1));
  EXPECT_FALSE(should_convert_scalar_key("lastUpdate", true));
}

TEST(KeepaTimeRules, PairSeriesAndCsv) {
  using detail::convert_pair_series;
  using detail::looks_like_csv;
  using detail::looks_like_pair_series;
  EXPECT_TRUE(looks_like_pair_series(Json::parse("[7654321, 1999]")));
  EXPECT_TRUE(looks_like_pair_series(Json::parse(R"(["5", null, 1, 2])")));
  EXPECT_FALSE(looks_like_pair_series(Json::parse("[5]")));
  EXPECT_FALSE(looks_like_pair_series(Json::parse("[1, 2, 3]")));
  EXPECT_FALSE(looks_like_pair_series(Json::parse("[-1, 2]")));
  EXPECT_FALSE(looks_like_pair_series(Json::parse(R"({"a": 1, "b": 2})")));
  EXPECT_TRUE(looks_like_csv(Json::parse("[null, [5], [1, 2]]")));
  EXPECT_FALSE(looks_like_csv(Json::parse("[[1, 2, 3], [-1, 5], [4]]")));
  EXPECT_FALSE(looks_like_csv(Json::parse("[]")));
  EXPECT_FALSE(looks_like_csv(Json::parse("[1, 2]")));
  EXPECT_EQ(convert_pair_series(Json::parse(R"([7654321, 1999, -1, 5, "60", [1]])")),
            Json::parse(R"([1753099260, 1999, -1, 5, 1293843600, [1]])"));
  const Json odd = Json::parse("[1, 2, 3]");
  EXPECT_EQ(convert_pair_series(odd), odd);
}

TEST(AddKeepaTimeConversions, AddsMembersRightAfterTheTimeMember) {
  const Json input = Json::parse(R"({"asin":"B0X","lastUpdate":7654321,"price":5})");
  const Json before = input;
  const Json converted = add_keepa_time_conversions(input);
  EXPECT_EQ(input, before);  // the input is never changed
  EXPECT_EQ(to_compact_json(converted),
            R"({"asin":"B0X","lastUpdate":7654321,"lastUpdateUnixSeconds":1753099260,)"
            R"("lastUpdateUnixMilliseconds":1753099260000,)"
            R"("lastUpdateUtc":"2025-07-21T12:01:00Z","price":5})");
  for (const char* value : {"-1", "true", "null", "\"\"", "\"2025-07-21T12:01:00Z\""}) {
    const Json same = Json::parse(std::string(R"({"lastUpdate":)") + value + "}");
    EXPECT_EQ(add_keepa_time_conversions(same), same) << value;
  }
  const Json untouched = Json::parse(R"({"timestamp":7654321,"tokensLeft":5,"requestTime":1})");
  EXPECT_EQ(add_keepa_time_conversions(untouched), untouched);
  const Json blank = add_keepa_time_conversions(Json::parse(R"({"tracking since":10})"));
  EXPECT_EQ(blank["tracking sinceUtc"], "2011-01-01T00:10:00Z");
}

TEST(AddKeepaTimeConversions, CsvGainsAParallelArrayOfSeconds) {
  const Json input = Json::parse(R"({"csv":[[7654321,1999,7654381,-1],null,[5]]})");
  const Json converted = add_keepa_time_conversions(input);
  EXPECT_EQ(converted["csv"], input["csv"]);
  EXPECT_EQ(converted["csvUnixSeconds"], Json::parse("[[1753099260,1999,1753102860,-1],null,[5]]"));
  for (const char* csv : {"[[1,2,3],[4]]", "[[-1,5],[-1,6]]", "[]", "5"}) {
    const Json same = Json::parse(std::string(R"({"csv":)") + csv + "}");
    EXPECT_EQ(add_keepa_time_conversions(same), same) << csv;
  }
  // Only the member named exactly "csv".
  const Json other = Json::parse(R"({"offerCSV":[[1,2]],"CSV":[[1,2]]})");
  EXPECT_EQ(add_keepa_time_conversions(other), other);
}

TEST(AddKeepaTimeConversions, ReachesEveryDepthAndResolvesNameCollisions) {
  const Json input =
      Json::parse(R"([{"products":[{"stats":{"lastOffersUpdate":"60"}}]},5,[{"lastSeen":0}]])");
  const Json converted = add_keepa_time_conversions(input);
  EXPECT_EQ(converted[0]["products"][0]["stats"]["lastOffersUpdateUnixSeconds"], 1293843600);
  EXPECT_EQ(converted[2][0]["lastSeenUtc"], "2011-01-01T00:00:00Z");
  EXPECT_EQ(converted[1], 5);

  // An input member named like an added one keeps its place and takes the later value.
  const Json collided = add_keepa_time_conversions(
      Json::parse(R"({"lastSeenUtc":"old","lastSeen":0,"lastSeenUnixSeconds":"mine"})"));
  EXPECT_EQ(to_compact_json(collided),
            R"({"lastSeenUtc":"2011-01-01T00:00:00Z","lastSeen":0,"lastSeenUnixSeconds":"mine",)"
            R"("lastSeenUnixMilliseconds":1293840000000})");
}

}  // namespace
}  // namespace vendro::keepa
