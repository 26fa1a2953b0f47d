#include "crash/settings/CDPropertyTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "runtime/Resources.h"
#include "tests/crash/settings/StreamBuilder.h"

namespace {

using namespace std::string_view_literals;

// Reads from a heap block of exactly the stream's size, so that AddressSanitizer
// catches a single byte read past the end.
struct Loaded {
  TCDPropertyTable table;
  TCDStreamResult result;
};
std::unique_ptr<Loaded> Load(const std::vector<uint8_t>& bytes) {
  auto exact = std::make_unique<uint8_t[]>(bytes.size() + (bytes.empty() ? 1 : 0));
  std::copy(bytes.begin(), bytes.end(), exact.get());
  auto l = std::make_unique<Loaded>();
  l->result = l->table.LoadFromStream(std::span<const uint8_t>(exact.get(), bytes.size()));
  return l;
}

TEST(CDPropertyTable, AnythingButTheExactHeaderGivesNoTable) {
  const std::vector<uint8_t> good = StreamBuilder().Header().IntProp("A", 1).End().bytes;
  ASSERT_EQ(Load(good)->result.Status, TCDStreamStatus::Complete);
  ASSERT_EQ(CDStreamHeaderSize, StreamBuilder().Header().bytes.size());

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty", {}},
      {"signature only", StreamBuilder().Raw("TPF0").bytes},
      {"other signature", StreamBuilder().Raw("TPF1").Short("TCrashReporter").Short("crashDesk").End().bytes},
      {"class name in other case", StreamBuilder().Raw("TPF0").Short("TCRASHREPORTER").Short("crashDesk").End().bytes},
      {"other object name", StreamBuilder().Raw("TPF0").Short("TCrashReporter").Short("crashDesk2").End().bytes},
      {"header one byte short", std::vector<uint8_t>(good.begin(), good.begin() + CDStreamHeaderSize - 1)},
      {"object name length past the end", StreamBuilder().Raw("TPF0").Short("TCrashReporter").Byte(200).bytes},
  };
  for (const Case& c : cases) {
    auto l = Load(c.bytes);
    EXPECT_EQ(l->result.Status, TCDStreamStatus::NoHeader) << c.what;
    EXPECT_EQ(l->table.Count(), 0) << c.what;
    EXPECT_EQ(InvalidSettingsResourceText(l->result), "") << c.what;
  }
}

TEST(CDPropertyTable, ReadsEveryKnownKind) {
  std::string longText(300, 'x');
  std::vector<uint8_t> wide = StreamBuilder()
                                  .Int('G', 2).Int(0xFC, 2)             // G, u-umlaut
                                  .Int(0xD83D, 2).Int(0xDE00, 2)        // a pair outside the basic plane
                                  .Int(0xDC00, 2).Int('!', 2)           // a lone low surrogate
                                  .bytes;
  auto l = Load(StreamBuilder()
                    .Header()
                    .Prop("I8", 2).Int(0xFF, 1)
                    .Prop("I16", 3).Int(static_cast<uint32_t>(-300), 2)
                    .Prop("I32", 4).Int(static_cast<uint32_t>(-70000), 4)
                    .Prop("S", 6).Short("short")
                    .Prop("Empty", 6).Short("")
                    .Prop("No", 8)
                    .Prop("Yes", 9)
                    .Prop("L", 12).Int(300, 4).Raw(longText)
                    .Prop("W", 18).Int(6, 4).Raw(std::string(wide.begin(), wide.end()))
                    .End()
                    .bytes);
  ASSERT_EQ(l->result.Status, TCDStreamStatus::Complete);
  ASSERT_EQ(l->table.Count(), 9);

  struct Int {
    const char* name;
    int32_t value;
  } ints[] = {{"I8", -1}, {"I16", -300}, {"I32", -70000}};
  for (const Int& c : ints) {
    const TCDProperty* p = l->table.Find(c.name);
    ASSERT_NE(p, nullptr) << c.name;
    EXPECT_EQ(p->Kind, TCDPropKind::Integer) << c.name;
    EXPECT_EQ(p->IntValue, c.value) << c.name;
  }
  struct Text {
    const char* name;
    std::string value;
  } texts[] = {{"s", "short"}, {"EMPTY", ""}, {"L", longText}, {"W", "G\xC3\xBC\xF0\x9F\x98\x80?!"}};
  for (const Text& c : texts) {
    const TCDProperty* p = l->table.Find(c.name);
    ASSERT_NE(p, nullptr) << c.name;
    EXPECT_EQ(p->Kind, TCDPropKind::Text) << c.name;
    EXPECT_EQ(p->TextValue, c.value) << c.name;
  }
  EXPECT_EQ(l->table.Find("No")->Kind, TCDPropKind::Boolean);
  EXPECT_FALSE(l->table.Find("No")->BoolValue);
  EXPECT_TRUE(l->table.Find("yes")->BoolValue);
  EXPECT_EQ(l->table.Find("Missing"), nullptr);
}

TEST(CDPropertyTable, UnknownKindStopsThereAndNamesTheKindInLowerCaseHex) {
  for (uint8_t kind : {uint8_t{0x1A}, uint8_t{0x07}, uint8_t{0xFF}, uint8_t{0x00}}) {
    auto l = Load(StreamBuilder()
                      .Header()
                      .IntProp("Before", 5)
                      .Prop("Odd", kind).Int(0, 4)
                      .TextProp("After", "never read")
                      .End()
                      .bytes);
    EXPECT_EQ(l->result.Status, TCDStreamStatus::UnknownKind);
    EXPECT_EQ(l->table.Count(), 1);
    EXPECT_NE(l->table.Find("Before"), nullptr);
    EXPECT_EQ(l->table.Find("After"), nullptr);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", kind);
    EXPECT_EQ(InvalidSettingsResourceText(l->result),
              std::string("Internal error: Invalid settings resource ($") + hex + ").");
  }
}

TEST(CDPropertyTable, TruncatedValuesAndLengthsPastTheEndKeepWhatWasWhole) {
  auto good = [] { return StreamBuilder().Header().IntProp("Good", 7); };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"no closing zero", good().bytes},
      {"name cut", good().Byte(10).Raw("Abc").bytes},
      {"kind missing", good().Short("Name").bytes},
      {"8-bit value missing", good().Prop("V", 2).bytes},
      {"32-bit value cut", good().Prop("V", 4).Int(1, 2).bytes},
      {"short string longer than the rest", good().Prop("S", 6).Byte(200).Raw("abc").End().bytes},
      {"long string length all ones", good().Prop("L", 12).Int(0xFFFFFFFF, 4).Raw("abc").End().bytes},
      {"long string one byte too long", good().Prop("L", 12).Int(5, 4).Raw("abcd").bytes},
      {"wide length that wraps when doubled", good().Prop("W", 18).Int(0x80000000, 4).Raw("ab").End().bytes},
      {"wide string one character too long", good().Prop("W", 18).Int(3, 4).Raw("a\0b\0"sv).End().bytes},
  };
  for (const Case& c : cases) {
    auto l = Load(c.bytes);
    EXPECT_EQ(l->result.Status, TCDStreamStatus::Truncated) << c.what;
    EXPECT_EQ(l->table.Count(), 1) << c.what;
    ASSERT_NE(l->table.Find("Good"), nullptr) << c.what;
    EXPECT_EQ(l->table.Find("Good")->IntValue, 7) << c.what;
    EXPECT_EQ(InvalidSettingsResourceText(l->result), "Internal error: Invalid settings resource (truncated).")
        << c.what;
  }
}

TEST(CDPropertyTable, EveryPrefixOfTheRealStreamIsReadSafely) {
  auto real = FindResource("RCDATA", "TCRASHREPORTER");
  ASSERT_GT(real.size(), CDStreamHeaderSize);
  const std::vector<uint8_t> all(real.begin(), real.end());
  const int full = Load(all)->table.Count();
  for (std::size_t n = 0; n < all.size(); ++n) {
    auto l = Load(std::vector<uint8_t>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n)));
    ASSERT_EQ(l->result.Status, n < CDStreamHeaderSize ? TCDStreamStatus::NoHeader : TCDStreamStatus::Truncated)
        << "cut at " << n;
    // Only the closing zero missing: every property is whole.
    ASSERT_EQ(l->table.Count() == full, n == all.size() - 1) << "cut at " << n;
  }
}

TEST(CDPropertyTable, StopsAtTheLimitOfTheTable) {
  StreamBuilder b;
  b.Header();
  for (int i = 0; i < CDMaxProperties + 9; ++i) b.IntProp("P" + std::to_string(i), i);
  auto l = Load(b.End().bytes);
  EXPECT_EQ(l->result.Status, TCDStreamStatus::TableFull);
  EXPECT_EQ(InvalidSettingsResourceText(l->result), "");
  EXPECT_EQ(l->table.Count(), CDMaxProperties);
  EXPECT_EQ(l->table.Find("P130")->IntValue, 130);
  EXPECT_EQ(l->table.Find("P131"), nullptr);
}

}  // namespace
