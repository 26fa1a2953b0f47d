#include "runtime/Resources.h"

#include <gtest/gtest.h>

TEST(Resources, EmbeddedFileIsFoundByTypeAndNameIgnoringCase) {
  auto data = FindResource("rcdata", "sample");
  ASSERT_EQ(data.size(), 8u);
  EXPECT_EQ(data[0], 'T');
  EXPECT_EQ(data[4], 0);
  EXPECT_EQ(data[7], 0xff);
  EXPECT_EQ(FindResource("RCDATA", "NOPE").data(), nullptr);
}
