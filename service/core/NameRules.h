// What the service takes as an account name, a node name, a password digest
// and an address, from requests and from the account commands. Every check
// raises EBadName (or a subclass) saying why a value is refused, in words for
// the answer and the log, and returns when the value is fine. A value that
// passes costs no allocation: the refusal's text is made only when there is
// one, so the check-in's own checks stay cheap.
//
// The limits (also stated in the README):
// - A name in a request, account or node: at most MaxNameBytes bytes, valid
//   UTF-8, no control characters (below 0x20, DEL, or C1). A node name may be
//   empty (the program sends what its user typed, which may be nothing).
// - A new account's name: a DNS label, so that host names can carry it:
//   1 to 63 letters, digits and hyphens, not starting or ending with a hyphen.
// - A digest: 32 hexadecimal digits, either case.
// - An address: an IPv4 dotted quad or an IPv6 address; an IPv4 address
//   written as IPv6 (::ffff:a.b.c.d) is the IPv4 address.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "service/model/BadName.h"

// A new password that cannot be taken.
PINMARK_EXCEPTION_CLASS(EBadPassword, EBadName);

inline constexpr std::size_t MaxNameBytes = 64;
inline constexpr std::size_t MaxLabelBytes = 63;
// No password is longer: the account commands read no longer line.
inline constexpr std::size_t MaxPasswordBytes = 4096;

// A name in a request; what names it in the refusal ("the node name is
// longer than 64 bytes").
void CheckRequestName(std::string_view what, std::string_view name);
// A new account's name.
void CheckNewAccountName(std::string_view name);
bool IsDnsLabel(std::string_view label);
bool IsDigest(std::string_view digest);
// A new password, typed twice; raises EBadPassword when it is empty, over
// MaxPasswordBytes, holds a line end (it could never be typed at the account
// commands' prompt, nor given on their standard input), or is not the same
// twice.
void CheckNewPassword(std::string_view password, std::string_view again);
// The digest in lower case (the form it is hashed in).
std::string NormalDigest(std::string_view digest);
// The length of the well-formed UTF-8 sequence at text[at] (shortest form,
// no surrogates, at most U+10FFFF), or 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t at);
