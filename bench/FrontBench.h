// The service's HTTP front side by side with nginx (see FrontBench.cpp):
// the "front" and "front-memory" modes of service_bench.
#pragma once

#include "tests/support/TempDir.h"

struct TFrontOptions {
  int clients = 8;
  double seconds = 3;  // a rate phase
  int rounds = 3;
  bool memory = false;  // the accounts in memory, nothing stored
};

// Prints each phase's figures; 0 when every request was answered 200.
int MeasureFront(const TFrontOptions& o, const TempDir& dir);
