// An ordered list of 8-bit strings with the text forms the program exchanges:
// lines joined by CR LF, and delimited text with quoting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

// An index outside the list.
PINMARK_EXCEPTION_CLASS(EStringListError, Exception);

class TStringList {
 public:
  TStringList() = default;
  virtual ~TStringList() = default;
  TStringList(const TStringList&) = default;
  TStringList& operator=(const TStringList&) = default;

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const { return Get(index); }
  const std::string& Get(int index) const;
  void Put(int index, std::string s);
  int Add(std::string s);
  void Insert(int index, std::string s);
  void Delete(int index);
  void Clear() { items_.clear(); }
  void AddStrings(const TStringList& other);

  // First index of s, compared ignoring ASCII case unless CaseSensitive; -1 if absent.
  int IndexOf(std::string_view s) const;
  bool CaseSensitive = false;

  // Every line followed by CR LF.
  std::string Text() const;
  // Splits at CR LF, CR or LF; a final line break adds no empty line.
  void SetText(std::string_view text);

  // "Name=Value" lines.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  int IndexOfName(std::string_view name) const;
  std::string Values(std::string_view name) const;

  // Delimited text. Reading splits at Delimiter; blanks and control
  // characters (codes 1 to 32) around an item are skipped and also end an
  // unquoted item; an item that begins with QuoteChar runs to the closing
  // quote (a doubled quote stands for one) and is taken without its quotes; a
  // delimiter at the very end adds one empty item. Writing quotes items that
  // hold blanks, the delimiter or the quote character.
  char Delimiter = ',';
  char QuoteChar = '"';
  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view text);

  const std::vector<std::string>& Items() const { return items_; }

 private:
  void CheckIndex(int index, bool allowEnd) const;
  std::vector<std::string> items_;
};
