// Failed sign-ins counted per key (an address, an account, a pair of both),
// in the process (TFailureLimit) or in a database that several instances of
// the service share, so that guesses spread over the instances get no more
// tries than guesses sent to one.
//
// Rules every implementation keeps, for one TFailureRule:
// - A key may fail Burst times at once; then one more allowance comes back
//   each RefillEvery, counted from the first failure after the allowance was
//   whole. A key that has used its allowance is blocked until the next one
//   comes. Successes do not count.
// - Time is passed in; a clock that steps back refills nothing.
// - At most Capacity keys are tracked: a full table first forgets keys whose
//   allowance is whole again, then the key whose last failure is the oldest
//   (never the latest offender, or flooding the table would free it).
// - Blocked and Failing are asked on every sign-in, a remembered one too,
//   before anything else: an implementation kept in a database should answer
//   them for keys without failures from memory (a mirror of the failing
//   keys), or every check-in pays a round trip for them.
// - Safe to call from several threads. An implementation that cannot reach
//   its data raises EStoreUnavailable.
#pragma once

#include <cstddef>
#include <string_view>

#include "service/model/ServiceStore.h"

struct TFailureRule {
  int Burst = 1;
  TServiceTime RefillEvery = 60 * 1000;
  std::size_t Capacity = 100000;
};

class IFailureCounts {
 public:
  virtual ~IFailureCounts() = default;

  // 0 when key may try now, else how long until it may (milliseconds).
  virtual TServiceTime Blocked(std::string_view key, TServiceTime now) = 0;
  virtual void Failed(std::string_view key, TServiceTime now) = 0;
  // Whether key failed lately: some of its allowance is still used.
  virtual bool Failing(std::string_view key, TServiceTime now) = 0;
  // Keys tracked now.
  virtual std::size_t Size() = 0;
};
