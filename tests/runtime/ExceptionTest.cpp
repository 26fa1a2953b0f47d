#include "runtime/Exception.h"

#include <gtest/gtest.h>

namespace {
PINMARK_EXCEPTION_CLASS(ETestBase, Exception);
PINMARK_EXCEPTION_CLASS(ETestLeaf, ETestBase);
}  // namespace

TEST(Exception, KnowsItsNameAndAncestors) {
  ETestLeaf e("boom");
  EXPECT_EQ(e.Message(), "boom");
  EXPECT_STREQ(e.what(), "boom");
  EXPECT_STREQ(e.ClassName(), "ETestLeaf");
  EXPECT_EQ(e.ClassAncestry(), (std::vector<std::string>{"ETestLeaf", "ETestBase", "Exception"}));
  EXPECT_TRUE(e.InheritsFrom("etestbase"));
  EXPECT_TRUE(e.InheritsFrom("Exception"));
  EXPECT_FALSE(e.InheritsFrom("EConvertError"));
  const Exception& asBase = e;
  EXPECT_STREQ(asBase.ClassName(), "ETestLeaf");
}

TEST(Exception, AssertCitesUnitAndLine) {
  EXPECT_NO_THROW(Assert(true, "", "frmAbout", 52));
  try {
    Assert(false, "", "frmAbout", 52);
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), "Assertion failure (frmAbout, line 52)");
  }
}
