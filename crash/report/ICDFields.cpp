#include "crash/report/ICDFields.h"

#include "runtime/SysUtils.h"

int TICDFields::Find(std::string_view name) const {
  for (std::size_t i = 0; i < fields_.size(); ++i)
    if (SameText(fields_[i].Name, name)) return static_cast<int>(i);
  return -1;
}

void TICDFields::Set(std::string_view name, std::string_view content) {
  std::string value = Trim(content);
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    int at = Find(name);
    if (value.empty()) {
      if (at < 0) return;
      fields_.erase(fields_.begin() + at);
      if (insertIndex_ > at) --insertIndex_;
    } else if (at >= 0) {
      if (fields_[at].Content == value) return;
      fields_[at].Content = std::move(value);
    } else if (insertIndex_ >= 0 && static_cast<std::size_t>(insertIndex_) < fields_.size()) {
      fields_.insert(fields_.begin() + insertIndex_, TCDField{std::string(name), std::move(value)});
      ++insertIndex_;
    } else {
      fields_.push_back(TCDField{std::string(name), std::move(value)});
    }
    ++changes_;
    notify = onChange_;
  }
  if (notify) notify();
}

std::string TICDFields::Get(std::string_view name) const {
  std::lock_guard<std::mutex> guard(lock_);
  int at = Find(name);
  return at < 0 ? std::string() : fields_[at].Content;
}

bool TICDFields::Has(std::string_view name) const { return IndexOf(name) >= 0; }

int TICDFields::IndexOf(std::string_view name) const {
  std::lock_guard<std::mutex> guard(lock_);
  return Find(name);
}

std::size_t TICDFields::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fields_.size();
}

std::vector<TCDField> TICDFields::Items() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fields_;
}

void TICDFields::Clear() {
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_ || fields_.empty()) return;
    fields_.clear();
    ++changes_;
    notify = onChange_;
  }
  if (notify) notify();
}

void TICDFields::SetInsertIndex(int index) {
  std::lock_guard<std::mutex> guard(lock_);
  insertIndex_ = index < 0 ? -1 : index;
}

int TICDFields::InsertIndex() const {
  std::lock_guard<std::mutex> guard(lock_);
  return insertIndex_;
}

void TICDFields::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  closed_ = true;
}

bool TICDFields::Closed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}

uint64_t TICDFields::ChangeCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return changes_;
}

void TICDFields::SetOnChange(std::function<void()> onChange) {
  std::lock_guard<std::mutex> guard(lock_);
  onChange_ = std::move(onChange);
}
