#include "tools/settingsstream/ObjectTextConverter.h"

#include <gtest/gtest.h>

#include "crash/settings/CDPropertyTable.h"

namespace {

std::string Object(const std::string& body) { return "object crashDesk: TCrashReporter\n" + body + "end\n"; }

// The kind byte that follows the first property's name.
uint8_t FirstKind(const std::vector<uint8_t>& stream) { return stream[CDStreamHeaderSize + 1 + stream[CDStreamHeaderSize]]; }

TEST(ObjectTextConverter, PicksTheSmallestKindAndTheReaderGetsTheValueBack) {
  struct Case {
    std::string value;
    uint8_t kind;
    TCDPropKind readKind;
    int32_t intValue;
    std::string text;
  } cases[] = {
      {"127", 2, TCDPropKind::Integer, 127, ""},
      {"128", 3, TCDPropKind::Integer, 128, ""},
      {"-32768", 3, TCDPropKind::Integer, -32768, ""},
      {"40000", 4, TCDPropKind::Integer, 40000, ""},
      {"$7FFFFFFF", 4, TCDPropKind::Integer, 0x7FFFFFFF, ""},
      {"True", 9, TCDPropKind::Boolean, 0, ""},
      {"false", 8, TCDPropKind::Boolean, 0, ""},
      {"''", 6, TCDPropKind::Text, 0, ""},
      {"'didn''t'", 6, TCDPropKind::Text, 0, "didn't"},
      {"'a'#9'b'#13#10", 6, TCDPropKind::Text, 0, "a\tb\r\n"},
      {"'one' +\n    'two'", 6, TCDPropKind::Text, 0, "onetwo"},
      {"'" + std::string(256, 'x') + "'", 12, TCDPropKind::Text, 0, std::string(256, 'x')},
      {"'Gr\xC3\xBC\xC3\x9F" "e'", 18, TCDPropKind::Text, 0, "Gr\xC3\xBC\xC3\x9F" "e"},
      {"'x'#$1F600", 18, TCDPropKind::Text, 0, "x\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> stream = TObjectTextConverter().Convert(Object("  Value = " + c.value + "\n"));
    EXPECT_EQ(FirstKind(stream), c.kind) << c.value;
    TCDPropertyTable table;
    ASSERT_EQ(table.LoadFromStream(stream).Status, TCDStreamStatus::Complete) << c.value;
    const TCDProperty* p = table.Find("Value");
    ASSERT_NE(p, nullptr) << c.value;
    EXPECT_EQ(p->Kind, c.readKind) << c.value;
    if (c.readKind == TCDPropKind::Integer) {
      EXPECT_EQ(p->IntValue, c.intValue) << c.value;
    } else if (c.readKind == TCDPropKind::Text) {
      EXPECT_EQ(p->TextValue, c.text) << c.value;
    } else {
      EXPECT_EQ(p->BoolValue, c.kind == 9) << c.value;
    }
  }
}

TEST(ObjectTextConverter, WritesTheHeaderThePropertiesInOrderAndOneClosingZero) {
  std::vector<uint8_t> stream =
      TObjectTextConverter().Convert("// comment\r\n\r\nobject crashDesk: TCrashReporter\r\n  A = 1\r\n  B = 'x'\r\nend\r\n");
  const std::string expected = std::string("TPF0\x0ETCrashReporter\x09" "crashDesk", 29) +
                               std::string("\x01" "A\x02\x01\x01" "B\x06\x01x\x00", 10);
  EXPECT_EQ(std::string(stream.begin(), stream.end()), expected);
}

TEST(ObjectTextConverter, RefusesMistakesWithTheirLineNumber) {
  std::string tooMany;
  for (int i = 0; i < 132; ++i) tooMany += "  P" + std::to_string(i) + " = 1\n";
  struct Case {
    const char* what;
    std::string text;
    std::string message;
  } cases[] = {
      {"no object", "  A = 1\n", "line 1: expected 'object <name>: <class>'"},
      {"no end", "object crashDesk: TCrashReporter\n  A = 1\n", "line 3: the closing 'end' is missing"},
      {"twice", Object("  Enabled = True\n  ENABLED = False\n"), "line 3: property 'ENABLED' given twice"},
      {"unterminated", Object("  A = 'abc\n"), "line 2: unterminated text"},
      {"nested", Object("  object Child: TThing\n"), "line 2: nested objects are not supported"},
      {"bad integer", Object("  A = 12abc\n"), "line 2: invalid value '12abc'"},
      {"integer too large", Object("  A = 2147483648\n"), "line 2: invalid value '2147483648'"},
      {"bad name", Object("  1A = 1\n"), "line 2: invalid property name '1A'"},
      {"bad UTF-8", Object("  A = 'x\xC3'\n"), "line 2: the text is not valid UTF-8"},
      {"continued past the end", "object crashDesk: TCrashReporter\n  A = 'x' +", "line 2: the text goes on past the end of the file"},
      {"text after end", Object("") + "  A = 1\n", "line 3: text after the closing 'end'"},
      {"too many", Object(tooMany), "line 133: more than 131 properties; the reader keeps no more"},
  };
  for (const Case& c : cases) {
    try {
      TObjectTextConverter().Convert(c.text);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EObjectTextError& e) {
      EXPECT_EQ(e.Message(), c.message) << c.what;
    }
  }
}

}  // namespace
