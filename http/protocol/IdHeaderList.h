// A list of header lines ("Name: value") with names compared ignoring case,
// long values folded onto continuation lines when set and unfolded again
// when read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/StringList.h"

class TIdHeaderList : public TStringList {
 public:
  // The header records keep their raw lists at width 1024 so that no request
  // line of ours is ever folded.
  explicit TIdHeaderList(int foldWidth = 78) : FoldWidth(foldWidth) {}

  // Written between name and value; its right-trimmed form (":") ends a
  // name when reading.
  std::string NameSeparator = ": ";
  bool MatchCase = false;
  bool UnfoldOnRead = true;
  bool FoldOnWrite = true;
  int FoldWidth;

  // The text before the first ":" of the line, upper-cased unless MatchCase;
  // empty for a line without ":" and for an index outside the list.
  std::string NameAt(int index) const;
  // Whether the line at index carries that name in any case: what
  // SameText(NameAt(index), name) says, without copying the name out.
  bool HasNameText(int index, std::string_view name) const;
  // The value of the header at that line with its continuation lines joined
  // by single blanks, trimmed; empty for an index outside the list.
  std::string ValueAt(int index) const;
  // The first line carrying that name, or -1.
  int IndexOfHeader(std::string_view name) const;
  std::string ValueOf(std::string_view name) const;
  // Sets the header (an existing one keeps its place, a new one goes to the
  // end) or, with an empty value, removes it with its continuation lines.
  void SetValue(std::string_view name, std::string_view value);
  // Appends the value of every line with that name, in order.
  void CollectValues(std::string_view name, TStringList* destination) const;
  // The text word-wrapped at FoldWidth into lines: breaks after a blank, tab
  // or comma outside double quotes, every line after the first beginning
  // with one blank. A line break already in the text always starts a new
  // line, so no piece ever holds CR or LF.
  std::vector<std::string> FoldValue(std::string_view text) const;

 private:
  // NameSeparator without the blanks at its end, ":" when nothing is left.
  std::string_view NameEnd() const;
  // The position of the name's end in the line, or npos.
  std::size_t FindNameEnd(const std::string& line) const;
  // Folding would keep the line whole: no wider than FoldWidth, no line break in it.
  bool FitsOneLine(std::string_view line) const;
  bool IsContinuation(int index) const;
  void DeleteContinuations(int index);
};
