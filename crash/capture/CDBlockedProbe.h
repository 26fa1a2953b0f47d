// Whether the process is blocked: a thread that faults while it holds the
// loader's lock (inside a dl_iterate_phdr callback, which unwinders and
// symbol readers also use) or an allocator lock would deadlock any handling
// that needs them. A probe thread, started with the crash reporter, tries
// dl_iterate_phdr, the allocator's statistics (which visit every arena) and
// a small allocation when asked; if it has not come back within the budget
// (250 ms), the process counts as blocked. A probe that never comes back is
// left behind, and every later question answers "blocked".
#pragma once

class TCDBlockedProbe {
 public:
  static constexpr int kBudgetMs = 250;

  // Starts the probe thread. Not signal-safe.
  static void Start();
  // Lets the probe thread end (at process end it is simply left). Not
  // signal-safe.
  static void Stop();
  // Signal-safe.
  static bool Started();

  // Asks the probe and waits at most budgetMs. Without a probe thread the
  // question cannot be asked and the answer is "not blocked". Signal-safe.
  static bool ProcessIsBlocked(int budgetMs = kBudgetMs);
};
