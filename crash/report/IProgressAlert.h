// The please-wait box's face: what code that completes a report tells the
// person waiting for it. The work is divided into weighted areas (one per
// thread whose stack is analysed, weighted by its stack size); within the
// current area the position runs from 0 to 1000, and the bar shows the
// share of all the work that is done, 0 to 1000.
//
// TCDProgressAreas is the bookkeeping alone, shared by every implementation
// and by the report's own progress, so that the weighted arithmetic exists
// once: thread-safe, no display.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class IProgressAlert {
 public:
  virtual ~IProgressAlert() = default;

  // Adds an area of work; returns its index.
  virtual int AddArea(int64_t weight, const std::string& text) = 0;
  // Makes an area the current one (its position starts at 0).
  virtual void SetArea(int index) = 0;
  // Position within the current area, 0 to 1000.
  virtual void SetPosition(int position) = 0;
  // Shows the box; with activation centred on the screen, else at the
  // bottom right of the work area without taking the focus.
  virtual void Show(bool activate) = 0;
  virtual void Close() = 0;
};

class TCDProgressAreas {
 public:
  // The area that stands for all the work while nobody added one.
  static constexpr int64_t kDefaultWeight = 1000;
  static constexpr const char* kDefaultText = "Please wait...";

  int AddArea(int64_t weight, const std::string& text);
  void SetArea(int index);
  void SetPosition(int position);
  // How many areas were added.
  int Areas() const;

  // (start of the current area + its weight × position / 1000) × 1000 /
  // total weight, 0 to 1000.
  int BarPosition() const;
  // The current area's text.
  std::string Text() const;

 private:
  struct TArea {
    int64_t Weight;
    std::string Text;
  };
  mutable std::mutex lock_;
  std::vector<TArea> areas_;
  int current_ = 0;
  int position_ = 0;
};
