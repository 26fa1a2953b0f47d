// A known call chain for crashdemo's reports: whatever goes wrong happens
// three calls deep, in functions that are never inlined, so that a report's
// call stack can be held against these lines (each call's line carries a
// "chain:" mark for the tests to find).
#pragma once

// DemoChainOuter -> DemoChainMiddle -> DemoChainInner, which calls goWrong.
void DemoChainOuter(void (*goWrong)());
