// The compressed-input buffer under the decoders: what a decoder may hand back.
#include "input/framed_reader.h"

#include <gtest/gtest.h>

#include <string_view>

using namespace pelarune;

// A decoder reporting more input left than it was given is a broken invariant, even where the
// consumed bytes and the put-back room before them would cover it.
TEST(InputBuffer, KeepLastIsBoundByTheUnconsumedBytes) {
  InputBuffer input(ByteSource::plain("abcdef"), 4, 8);
  ASSERT_TRUE(input.fill());
  input.consume(2);
  EXPECT_THROW(input.keep_last(3), Panic);
  input.keep_last(2);
  EXPECT_EQ(std::string_view(input.data(), input.size()), "cd");
}
