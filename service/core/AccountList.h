// The accounts file of --accounts and "account import": one account a line,
// "NAME DIGEST" or "NAME:DIGEST" (the MD5 hex digest of its password); blank
// lines and lines starting with '#' are skipped, a CR before the line end is
// ignored. Names follow the request rules (service/core/NameRules.h).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TListedAccount {
  std::string Name, Digest;
};

// The accounts of text; false on the first malformed line, with error
// "<source>:<line>: <what is wrong>".
bool ReadAccountList(std::string_view text, std::string_view source, std::vector<TListedAccount>& accounts,
                     std::string& error);
