// The accounts file of --accounts and "account import": one account a line,
// "NAME DIGEST" or "NAME:DIGEST" (the MD5 hex digest of its password); blank
// lines and lines starting with '#' are skipped, a CR before the line end is
// ignored. Names follow the request rules (service/core/NameRules.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

// The file cannot be read, or a line of it is not an account; the message
// says which ("<source>:<line>: <what is wrong>").
PINMARK_EXCEPTION_CLASS(EAccountList, Exception);

struct TListedAccount {
  std::string Name, Digest;
};

// The accounts of text, digests in lower case; raises EAccountList on the
// first malformed line.
std::vector<TListedAccount> ReadAccountList(std::string_view text, std::string_view source);
// The accounts file at path, read whole: an empty file (or /dev/null) has no
// accounts. Raises EAccountList when it cannot be read, is larger than
// MaxAccountFileBytes (a device or a wrong file, never a list of accounts),
// or holds a malformed line.
std::vector<TListedAccount> ReadAccountFile(const std::string& path);
inline constexpr std::size_t MaxAccountFileBytes = 64 << 20;
