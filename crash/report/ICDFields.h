// The ordered name/content lists of a bug report: its header lines, its
// sections and what an assistant hands over.
//
// Rules the report relies on: contents are stored trimmed (blanks and control
// characters at both ends); setting an empty content deletes the field;
// setting a name that is not there appends it, or inserts it at the insertion
// index when one is set (later insertions follow the earlier ones); names are
// compared without regard to case. A closed list ignores every change.
//
// Every operation takes the list's own lock, so a report can be filled by one
// thread while another renders it. The change callback runs after the lock is
// released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct TCDField {
  std::string Name;
  std::string Content;
};

class TICDFields {
 public:
  TICDFields() = default;
  TICDFields(const TICDFields&) = delete;
  TICDFields& operator=(const TICDFields&) = delete;

  // Sets, replaces or (with an empty content) deletes a field.
  void Set(std::string_view name, std::string_view content);
  // Empty when the field is missing.
  std::string Get(std::string_view name) const;
  bool Has(std::string_view name) const;
  // Position of the field, or -1.
  int IndexOf(std::string_view name) const;
  std::size_t Count() const;
  // A copy of the fields in order.
  std::vector<TCDField> Items() const;
  void Clear();

  // Where new names go; -1 (the default) appends.
  void SetInsertIndex(int index);
  int InsertIndex() const;

  // Once closed, the list keeps what it holds.
  void Close();
  bool Closed() const;

  // Counts every change that took effect; a renderer compares it before and
  // after to tell whether its text is still current.
  uint64_t ChangeCount() const;
  // Called after every change that took effect (not under the lock).
  void SetOnChange(std::function<void()> onChange);

 private:
  int Find(std::string_view name) const;  // lock held

  mutable std::mutex lock_;
  std::vector<TCDField> fields_;
  int insertIndex_ = -1;
  bool closed_ = false;
  uint64_t changes_ = 0;
  std::function<void()> onChange_;
};
