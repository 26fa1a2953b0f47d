#include "crash/report/IProgressAlert.h"

#include <algorithm>

int TCDProgressAreas::AddArea(int64_t weight, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  areas_.push_back({std::max<int64_t>(weight, 0), text});
  return static_cast<int>(areas_.size()) - 1;
}

void TCDProgressAreas::SetArea(int index) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= areas_.size()) return;
  current_ = index;
  position_ = 0;
}

void TCDProgressAreas::SetPosition(int position) {
  std::lock_guard<std::mutex> guard(lock_);
  position_ = std::clamp(position, 0, 1000);
}

int TCDProgressAreas::Areas() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(areas_.size());
}

int TCDProgressAreas::BarPosition() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (areas_.empty()) return position_;  // the one default area
  int64_t total = 0, start = 0;
  for (std::size_t i = 0; i < areas_.size(); ++i) {
    if (static_cast<int>(i) < current_) start += areas_[i].Weight;
    total += areas_[i].Weight;
  }
  if (total <= 0) return 0;
  const int64_t done = start + areas_[static_cast<std::size_t>(current_)].Weight * position_ / 1000;
  return static_cast<int>(std::clamp<int64_t>(done * 1000 / total, 0, 1000));
}

std::string TCDProgressAreas::Text() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (areas_.empty()) return kDefaultText;
  return areas_[static_cast<std::size_t>(current_)].Text;
}
