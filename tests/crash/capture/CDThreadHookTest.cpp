#include "crash/capture/CDThreadHook.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <exception>
#include <limits>
#include <string>
#include <thread>

#include "crash/capture/CDThrowTrace.h"
#include "runtime/Exception.h"
#include "runtime/ThreadName.h"

namespace {

// Turns the hooks on for one test and off again.
struct Hooks {
  Hooks() {
    EnableThreadHook(true);
    EnableThrowTrace(true);
  }
  ~Hooks() {
    SetThreadExceptionHook(nullptr);
    EnableThrowTrace(false);
    EnableThreadHook(false);
  }
};

struct Seen {
  pid_t id = 0;
  TCDThreadInfo info;
  TCDRegistryLookup lookup = TCDRegistryLookup::NotRegistered;
  stack_t altStack{};
};

TEST(ThreadHook, EveryKindOfThreadRunsWithItsRegistryEntryAndItsOwnAlternateStack) {
  Hooks hooks;
  const auto look = [](Seen& s) {
    s.id = CurrentThreadId();
    s.lookup = TCDThreadRegistry::Instance().Find(s.id, s.info);
    sigaltstack(nullptr, &s.altStack);
  };
  Seen fromStd, fromPthread;
  std::thread([&] { look(fromStd); }).join();
  pthread_t t;
  ASSERT_EQ(pthread_create(
                &t, nullptr,
                [](void* p) -> void* {
                  NameThreadForDebugging("a worker with a rather long name");
                  Seen& s = *static_cast<Seen*>(p);
                  s.id = CurrentThreadId();
                  s.lookup = TCDThreadRegistry::Instance().Find(s.id, s.info);
                  sigaltstack(nullptr, &s.altStack);
                  return nullptr;
                },
                &fromPthread),
            0);
  pthread_join(t, nullptr);
  for (const Seen* s : {&fromStd, &fromPthread}) {
    ASSERT_EQ(s->lookup, TCDRegistryLookup::Found);
    EXPECT_EQ(s->info.CreatorThreadId, CurrentThreadId());
    EXPECT_NE(s->info.CreatorAddress, 0u);
    EXPECT_LT(s->info.StackLow, s->info.StackHigh);
    EXPECT_FALSE(s->altStack.ss_flags & SS_DISABLE);
    EXPECT_GE(s->altStack.ss_size, TCDAltStack::Size());
    // Gone from the registry once it ended.
    EXPECT_FALSE(TCDThreadRegistry::Instance().IsRegistered(s->id));
  }
  EXPECT_STREQ(fromPthread.info.Name, "a worker with a rather long name") << "the full name, not the system's 15 characters";
}

TEST(ThreadHook, AnExceptionLeavingAThreadFunctionIsHandedOnAndTheThreadEndsWithNull) {
  Hooks hooks;
  static std::string seen;
  SetThreadExceptionHook([](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const Exception& e) {
      seen = e.Message();
    }
  });
  pthread_t t;
  ASSERT_EQ(pthread_create(
                &t, nullptr, [](void*) -> void* { throw EConvertError("'x' is not a valid integer value"); },
                nullptr),
            0);
  void* result = reinterpret_cast<void*>(1);
  pthread_join(t, &result);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(seen, "'x' is not a valid integer value");
}

TEST(ThreadHook, AThreadThatCannotBeCreatedLeavesNothingBehind) {
  Hooks hooks;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  // A stack no machine can give.
  ASSERT_EQ(pthread_attr_setstacksize(&attr, std::numeric_limits<size_t>::max() / 2), 0);
  pthread_t t;
  EXPECT_NE(pthread_create(&t, &attr, [](void*) -> void* { return nullptr; }, nullptr), 0);
  pthread_attr_destroy(&attr);
  // The sanitizer build reports the wrapper if it was not freed.
}

uintptr_t throwerCaller = 0;
[[gnu::noinline]] void Thrower() {
  throwerCaller = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  throw EConvertError("thrown here");
}

TEST(ThrowTrace, AnExceptionCaughtFarAwayStillKnowsTheStackItWasThrownFrom) {
  Hooks hooks;
  std::exception_ptr caught;
  try {
    Thrower();
  } catch (...) {
    caught = std::current_exception();
  }
  TCDPreparedStack stack;
  ASSERT_TRUE(FindThrowTrace(ExceptionObjectAddress(caught), stack));
  EXPECT_EQ(stack.ThreadId, CurrentThreadId());
  ASSERT_GT(stack.Count, 1u);
  // The walk starts at the throw and passes the call of Thrower in this test.
  EXPECT_EQ(stack.Frames[0], stack.ThrowAddress);
  EXPECT_EQ(stack.Frames[1], throwerCaller);
  // Another thread knows nothing of it.
  bool elsewhere = true;
  std::thread([&] {
    TCDPreparedStack other;
    elsewhere = FindThrowTrace(ExceptionObjectAddress(caught), other);
  }).join();
  EXPECT_FALSE(elsewhere);
}

}  // namespace
