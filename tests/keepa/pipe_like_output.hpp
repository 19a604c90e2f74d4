#pragma once
// A conversion destination for tests that cannot take anything back, like a pipe.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "vendro/keepa/convert_output.hpp"

namespace vendro::keepa {

class PipeLikeOutput final : public ConvertOutput {
 public:
  void write(std::string_view bytes) override { text += bytes; }
  bool can_rewind() const override { return false; }
  void rewind() override { ADD_FAILURE() << "a pipe cannot be rewound"; }
  std::string text;
};

}  // namespace vendro::keepa
