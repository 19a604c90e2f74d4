#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "vendro/core/error.hpp"

namespace vendro {
namespace {

VENDRO_DEFINE_ERROR(DeepTestError, InputError, "DEEP_TEST");

// Messages that name a failure's kind see the most derived type, without its namespaces, even
// through a reference to a base.
TEST(ErrorTypeName, NamesTheMostDerivedTypeWithoutNamespaces) {
  const DeepTestError deep("x");
  const std::exception& as_base = deep;
  EXPECT_EQ(error_type_name(as_base), "DeepTestError");
  EXPECT_EQ(error_type_name(std::runtime_error("x")), "runtime_error");
  EXPECT_EQ(error_type_name(std::bad_alloc()), "bad_alloc");
}

}  // namespace
}  // namespace vendro
