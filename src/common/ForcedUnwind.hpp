#pragma once

// A thread that is ended from inside a callback (pthread_exit, or a
// cancellation; an interpreter that exits while our I/O thread runs its
// callback does this) unwinds with an exception of its own, which must
// travel on: a handler that swallows it aborts the process. Put
// VARNEL_LET_FORCED_UNWIND_PASS in front of every `catch (...)` that code
// of the application can reach.
#if defined(__GLIBCXX__) && defined(__linux__)
#include <cxxabi.h>
#define VARNEL_LET_FORCED_UNWIND_PASS \
  catch (abi::__forced_unwind&) {     \
    throw;                            \
  }
#else
#define VARNEL_LET_FORCED_UNWIND_PASS
#endif
