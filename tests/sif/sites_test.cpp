#include "vendro/sif/sites.hpp"

#include <gtest/gtest.h>

namespace vendro::sif {
namespace {

const std::string SUPPORTED = "AE, AU, BR, CA, DE, ES, FR, IT, JP, MX, SA, UK, US";

std::string failure_message(std::optional<std::string_view> value) {
  try {
    normalize_site(value);
  } catch (const SifSiteNotSupportedError& e) {
    EXPECT_EQ(e.code(), "SIF_SITE_NOT_SUPPORTED");
    EXPECT_NE(dynamic_cast<const SifError*>(&e), nullptr);
    return e.what();
  }
  ADD_FAILURE() << "no failure for " << value.value_or("(absent)");
  return "";
}

TEST(SifSites, NormalisesCodesChineseNamesAndCaseVariants) {
  EXPECT_EQ(normalize_site(std::nullopt), "US");
  EXPECT_EQ(normalize_site(""), "US");
  EXPECT_EQ(normalize_site(" "), "US");  // blank is empty
  EXPECT_EQ(normalize_site("\u3000\t"), "US");
  EXPECT_EQ(normalize_site("us"), "US");
  EXPECT_EQ(normalize_site("Usa"), "US");
  EXPECT_EQ(normalize_site("gb"), "UK");
  EXPECT_EQ(normalize_site("GB"), "UK");
  EXPECT_EQ(normalize_site("  de  "), "DE");
  EXPECT_EQ(normalize_site("英国站"), "UK");
  EXPECT_EQ(normalize_site("美国站"), "US");
  EXPECT_EQ(normalize_site("澳大利亚"), "AU");
  EXPECT_EQ(normalize_site("\t日本站\n"), "JP");
}

TEST(SifSites, TableHoldsThirteenCodesEachAnAliasOfItself) {
  EXPECT_EQ(site_aliases().size(), 41u);
  std::vector<std::string> codes = supported_site_codes();
  ASSERT_EQ(codes.size(), 13u);
  EXPECT_EQ(codes.front(), "AE");
  EXPECT_EQ(codes.back(), "US");
  for (const std::string& code : codes) EXPECT_EQ(normalize_site(code), code);
  for (const auto& [alias, code] : site_aliases()) EXPECT_EQ(normalize_site(alias), code) << alias;
}

TEST(SifSites, UnknownValuesFailNamingTheValueAsGivenAndTheCodes) {
  EXPECT_EQ(failure_message("XX"), "不支持的 Sif 站点：XX，可用站点编码：" + SUPPORTED);
  EXPECT_EQ(failure_message("英国 站"), "不支持的 Sif 站点：英国 站，可用站点编码：" + SUPPORTED);
  EXPECT_EQ(failure_message(" xx "), "不支持的 Sif 站点： xx ，可用站点编码：" + SUPPORTED);
}

}  // namespace
}  // namespace vendro::sif
