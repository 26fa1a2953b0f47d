// Starting the desktop's helper programs (the mail program, the mailto
// handler) from the crash reporter. Programs get an argument vector and are
// found on PATH; nothing ever goes through a shell, so no text of a report
// can become a command. Standard input is /dev/null, so a program can never
// wait for us; output goes where ours goes.
#pragma once

#include <string>
#include <vector>

struct TCDMailProgramResult {
  bool Started = false;
  // The program ended by itself within the wait, with ExitCode.
  bool Exited = false;
  int ExitCode = -1;
  // Still running when the wait ended.
  bool Running = false;
};

// Starts argv[0] (searched on PATH) and waits at most timeoutMs for it to
// end. A program still running then is left to run (and reaped when it ends).
TCDMailProgramResult RunMailProgram(const std::vector<std::string>& argv, int timeoutMs);
