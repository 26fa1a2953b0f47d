#include "runtime/StringList.h"

#include "runtime/SysUtils.h"

namespace {
bool IsSkippable(char c) { return c >= 1 && c <= ' '; }
}  // namespace

void TStringList::CheckIndex(int index, bool allowEnd) const {
  int limit = Count() + (allowEnd ? 1 : 0);
  if (index < 0 || index >= limit) throw EStringListError(Format("List index out of bounds (%d)", index));
}

const std::string& TStringList::Get(int index) const {
  CheckIndex(index, false);
  return items_[static_cast<std::size_t>(index)];
}

void TStringList::Put(int index, std::string s) {
  CheckIndex(index, false);
  items_[static_cast<std::size_t>(index)] = std::move(s);
}

int TStringList::Add(std::string s) {
  items_.push_back(std::move(s));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string s) {
  CheckIndex(index, true);
  items_.insert(items_.begin() + index, std::move(s));
}

void TStringList::Delete(int index) {
  CheckIndex(index, false);
  items_.erase(items_.begin() + index);
}

void TStringList::AddStrings(const TStringList& other) {
  items_.insert(items_.end(), other.items_.begin(), other.items_.end());
}

int TStringList::IndexOf(std::string_view s) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& item = items_[static_cast<std::size_t>(i)];
    if (CaseSensitive ? item == s : SameText(item, s)) return i;
  }
  return -1;
}

std::string TStringList::Text() const {
  std::string out;
  for (const std::string& s : items_) {
    out += s;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(std::string_view text) {
  items_.clear();
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    items_.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) items_.emplace_back(text.substr(start));
}

std::string TStringList::Names(int index) const {
  const std::string& s = Get(index);
  std::size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& s = Get(index);
  std::size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = items_[static_cast<std::size_t>(i)];
    std::size_t eq = s.find('=');
    if (eq == std::string::npos) continue;
    std::string_view n(s.data(), eq);
    if (CaseSensitive ? n == name : SameText(n, name)) return i;
  }
  return -1;
}

std::string TStringList::Values(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

std::string TStringList::DelimitedText() const {
  std::string out;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const std::string& s = items_[i];
    bool quote = s.empty() && items_.size() == 1;
    for (char c : s)
      if (IsSkippable(c) || c == Delimiter || c == QuoteChar || c == '\0') quote = true;
    if (i > 0) out += Delimiter;
    if (!quote) {
      out += s;
      continue;
    }
    out += QuoteChar;
    for (char c : s) {
      if (c == QuoteChar) out += QuoteChar;
      out += c;
    }
    out += QuoteChar;
  }
  return out;
}

void TStringList::SetDelimitedText(std::string_view text) {
  items_.clear();
  // A NUL ends the text, as it would for a C string.
  std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::size_t p = 0, n = text.size();
  while (p < n && IsSkippable(text[p])) ++p;
  while (p < n) {
    std::string item;
    if (text[p] == QuoteChar) {
      ++p;
      while (p < n) {
        if (text[p] == QuoteChar) {
          if (p + 1 < n && text[p + 1] == QuoteChar) {
            item += QuoteChar;
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
    } else {
      std::size_t start = p;
      while (p < n && static_cast<unsigned char>(text[p]) > ' ' && text[p] != Delimiter) ++p;
      item.assign(text.substr(start, p - start));
    }
    items_.push_back(std::move(item));
    while (p < n && IsSkippable(text[p])) ++p;
    if (p < n && text[p] == Delimiter) {
      if (p + 1 == n) items_.emplace_back();
      do ++p;
      while (p < n && IsSkippable(text[p]));
    }
  }
}
