// The "%name%" variables of the crash reporter's texts (messages, mail
// subject and body, file names), expanded in one place. Names are matched
// ignoring case, in one pass from left to right, so that a replacement (an
// executable called "%date%", a message that quotes "%bugReport%") is never
// expanded a second time. A "%" that opens no variable the caller knows is
// kept as it is, and the search goes on from the next "%", which may open
// one: "100% sure" and "%other%date%" keep their first "%".
//
// Some values are known when the settings are read (the program's name, the
// clock), others only once there is an exception (its message, its report):
// each caller expands the variables it knows and leaves the others for
// whoever knows them. Pure apart from what the lookup does.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The value of a variable by its name (without the "%"), or nothing when the
// caller does not know it.
using TCDTextVarLookup = std::function<std::optional<std::string>(std::string_view name)>;

std::string ExpandTextVars(std::string_view text, const TCDTextVarLookup& lookup);

// Expands the variables only the exception knows: "%exceptMsg%" (the message,
// "Unknown" when empty) and "%bugReport%" (the report).
std::string ExpandExceptionVars(std::string_view text, std::string_view exceptMsg, std::string_view report);
