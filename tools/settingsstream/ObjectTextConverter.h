// Turns the readable object text of a settings file into the binary component
// stream that the crash reporter reads from the executable:
//
//   object crashDesk: TCrashReporter
//     Enabled = True
//     FreezeTimeout = 60000
//     ExceptMsg = 'An error occurred in the application.'
//   end
//
// Values are True/False, integers (decimal or "$" hexadecimal) or texts made
// of quoted pieces ('' inside quotes is one quote) and #<code> characters,
// optionally joined by "+" across lines. The file is UTF-8: a text that is
// plain ASCII is written as a short (or long) string, anything else as a wide
// string. Whole-line "//" comments and blank lines are ignored.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

// The message names the line: "line 12: ...".
PINMARK_EXCEPTION_CLASS(EObjectTextError, Exception);

class TObjectTextConverter {
 public:
  // The most properties a stream may carry; the reader keeps no more.
  explicit TObjectTextConverter(int maxProperties = 131) : maxProperties_(maxProperties) {}

  std::vector<uint8_t> Convert(std::string_view text) const;

 private:
  int maxProperties_;
};
