#include "http/protocol/IdHeaderList.h"

#include <cstring>

#include "runtime/SysUtils.h"

namespace {
bool IsFoldBlank(char c) { return c == ' ' || c == '\t'; }
bool IsBreakChar(char c) { return c == ' ' || c == '\t' || c == ','; }
bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

std::string TrimRightBlanks(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0 && IsFoldBlank(s[end - 1])) --end;
  return std::string(s.substr(0, end));
}
}  // namespace

bool TIdHeaderList::FitsOneLine(std::string_view line) const {
  const bool fits = FoldWidth <= 0 || line.size() <= static_cast<std::size_t>(FoldWidth);
  return fits && !std::memchr(line.data(), '\r', line.size()) && !std::memchr(line.data(), '\n', line.size());
}

std::string_view TIdHeaderList::NameEnd() const {
  std::string_view end = NameSeparator;
  while (!end.empty() && static_cast<unsigned char>(end.back()) <= ' ') end.remove_suffix(1);
  return end.empty() ? std::string_view(":") : end;
}

namespace {
// A line can only hold a name of some length when the separator follows
// right after it: most lines are passed over on a character or two.
bool SeparatorAt(const std::string& line, std::size_t at, std::string_view end) {
  if (line.size() < at + end.size()) return false;
  for (std::size_t k = 0; k < end.size(); ++k)
    if (line[at + k] != end[k]) return false;
  return true;
}

// Whether the text before the line's first separator is name, exactly or
// ignoring case.
bool LineNamed(const std::string& line, std::string_view name, std::string_view end, bool ignoreCase) {
  if (!SeparatorAt(line, name.size(), end) || line.find(end) != name.size()) return false;
  const std::string_view lineName(line.data(), name.size());
  return ignoreCase ? SameText(lineName, name) : lineName == name;
}
}  // namespace

std::size_t TIdHeaderList::FindNameEnd(const std::string& line) const { return line.find(NameEnd()); }

std::string TIdHeaderList::NameAt(int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::string& line = Get(index);
  std::size_t colon = FindNameEnd(line);
  if (colon == std::string::npos) return {};
  std::string name = line.substr(0, colon);
  return MatchCase ? name : UpperCase(name);
}

bool TIdHeaderList::HasNameText(int index, std::string_view name) const {
  if (index < 0 || index >= Count() || name.empty()) return SameText(NameAt(index), name);
  return LineNamed(Get(index), name, NameEnd(), true);
}

bool TIdHeaderList::IsContinuation(int index) const {
  if (index < 0 || index >= Count()) return false;
  const std::string& line = Get(index);
  return !line.empty() && IsFoldBlank(line[0]);
}

std::string TIdHeaderList::ValueAt(int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::string& line = Get(index);
  // The value starts after the name and its ":"; for a line without a name
  // that skips its first character, which is the blank of a continuation.
  const std::string_view end = NameEnd();
  const std::size_t nameEnd = line.find(end);
  std::size_t start = (nameEnd == std::string::npos ? 0 : nameEnd) + end.size();
  std::string value = start < line.size() ? line.substr(start) : std::string();
  if (UnfoldOnRead) {
    // Each continuation joins the trimmed value with one blank. Trimming in
    // place keeps this linear however many continuation lines follow.
    value = Trim(value);
    for (int i = index + 1; IsContinuation(i); ++i) {
      while (!value.empty() && static_cast<unsigned char>(value.back()) <= ' ') value.pop_back();
      value += ' ';
      value += Trim(Get(i));
    }
  }
  return Trim(value);
}

int TIdHeaderList::IndexOfHeader(std::string_view name) const {
  const std::string_view end = NameEnd();
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = Get(i);
    // A line without a name answers the empty one.
    if (name.empty() && line.find(end) == std::string::npos) return i;
    if (LineNamed(line, name, end, !MatchCase)) return i;
  }
  return -1;
}

std::string TIdHeaderList::ValueOf(std::string_view name) const { return ValueAt(IndexOfHeader(name)); }

void TIdHeaderList::DeleteContinuations(int index) {
  while (IsContinuation(index + 1)) Delete(index + 1);
}

void TIdHeaderList::SetValue(std::string_view name, std::string_view value) {
  int index = IndexOfHeader(name);
  if (!value.empty()) {
    if (index < 0) index = Add(std::string());
    std::string line = std::string(name) + NameSeparator + std::string(value);
    if (FoldOnWrite && FitsOneLine(line)) {
      // What folding would leave of a line that needs none: the line without the blanks at its end.
      DeleteContinuations(index);
      while (!line.empty() && IsFoldBlank(line.back())) line.pop_back();
      Put(index, std::move(line));
    } else if (FoldOnWrite) {
      DeleteContinuations(index);
      std::vector<std::string> pieces = FoldValue(line);
      Put(index, pieces[0]);
      for (std::size_t i = 1; i < pieces.size(); ++i) Insert(index + static_cast<int>(i), std::move(pieces[i]));
    } else {
      Put(index, std::move(line));
    }
  } else if (index >= 0) {
    if (FoldOnWrite) DeleteContinuations(index);
    Delete(index);
  }
}

void TIdHeaderList::CollectValues(std::string_view name, TStringList* destination) const {
  if (!destination) return;
  const std::string_view end = NameEnd();
  for (int i = 0; i < Count(); ++i)
    if (LineNamed(Get(i), name, end, !MatchCase)) destination->Add(ValueAt(i));
}

std::vector<std::string> TIdHeaderList::FoldValue(std::string_view text) const {
  std::vector<std::string> pieces;
  std::size_t start = 0;                      // first character of the current piece
  std::size_t lastBreak = std::string::npos;  // last break character of the piece, outside quotes
  bool inQuotes = false;
  std::size_t n = text.size();

  auto piecePrefix = [&]() -> std::size_t { return pieces.empty() ? 0 : 1; };
  auto emit = [&](std::size_t end) {
    std::string piece = pieces.empty() ? std::string() : std::string(" ");
    piece += TrimRightBlanks(text.substr(start, end - start));
    pieces.push_back(std::move(piece));
  };
  auto skipBlanks = [&](std::size_t from) {
    while (from < n && IsFoldBlank(text[from])) ++from;
    return from;
  };

  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (IsLineBreak(c)) {
      // A break already in the text (CR LF blank, or a bare CR or LF) ends
      // the piece; what follows becomes a continuation, never a new header.
      emit(i);
      if (c == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
      start = skipBlanks(i + 1);
      i = start - 1;
      lastBreak = std::string::npos;
      inQuotes = false;
      continue;
    }
    if (c == '"')
      inQuotes = !inQuotes;
    else if (!inQuotes && IsBreakChar(c))
      lastBreak = i;
    std::size_t length = piecePrefix() + (i - start + 1);
    if (!inQuotes && FoldWidth > 0 && length > static_cast<std::size_t>(FoldWidth) && lastBreak != std::string::npos &&
        lastBreak > start) {
      emit(lastBreak + 1);
      start = skipBlanks(lastBreak + 1);
      if (start > i + 1) i = start - 1;
      lastBreak = std::string::npos;
    }
  }
  // A text ending in a line break leaves nothing for a further line.
  if (pieces.empty() || start < n) emit(n);
  return pieces;
}
