#include "http/transport/IdComponent.h"

#include <algorithm>

#include "runtime/SysUtils.h"

namespace {
void Erase(std::vector<TIdComponent*>& list, TIdComponent* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}
}  // namespace

TIdComponent::TIdComponent() = default;

TIdComponent::~TIdComponent() {
  std::vector<TIdComponent*> observers;
  observers.swap(observers_);
  for (TIdComponent* o : observers) {
    Erase(o->observed_, this);
    o->Notification(this);
  }
  for (TIdComponent* o : observed_) Erase(o->observers_, this);
}

void TIdComponent::FreeNotification(TIdComponent* other) {
  if (!other || other == this) return;
  if (std::find(other->observers_.begin(), other->observers_.end(), this) != other->observers_.end()) return;
  other->observers_.push_back(this);
  observed_.push_back(other);
}

void TIdComponent::RemoveFreeNotification(TIdComponent* other) {
  if (!other) return;
  Erase(other->observers_, this);
  Erase(observed_, other);
}

void TIdComponent::ReportStatus(TIdStatus status, const std::string& argument) {
  if (!OnStatus) return;
  std::string text = Format(IdComponentStrings::RSStatusTexts[status], argument.c_str());
  OnStatus(*this, status, text);
}

void TIdComponent::StartWorkCount(TWorkMode mode, int64_t size) {
  if (progressTarget_) return progressTarget_->StartWorkCount(mode, size);
  WorkInfo& w = work_[mode];
  if (w.nesting++ == 0) {
    w.size = size;
    w.position = 0;
    if (OnWorkBegin) OnWorkBegin(*this, mode, size);
  }
}

void TIdComponent::AddWorkCount(TWorkMode mode, int64_t count) {
  if (progressTarget_) return progressTarget_->AddWorkCount(mode, count);
  WorkInfo& w = work_[mode];
  if (w.nesting < 1) return;
  w.position += count;
  if (OnWork) OnWork(*this, mode, w.position);
}

void TIdComponent::FinishWorkCount(TWorkMode mode) {
  if (progressTarget_) return progressTarget_->FinishWorkCount(mode);
  WorkInfo& w = work_[mode];
  if (w.nesting == 1 && OnWorkEnd) OnWorkEnd(*this, mode);
  if (w.nesting > 0) --w.nesting;
}
