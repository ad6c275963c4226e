#pragma once

#include <exception>

// A thread that is ended from inside a callback (pthread_exit, or a
// cancellation; an interpreter that exits while our I/O thread runs its
// callback does this) unwinds with an exception that is not a C++ one and
// must travel on: a handler that swallows it aborts the process. Call this
// first in every `catch (...)` that code of the application can reach: it
// rethrows what was caught unless it is a C++ exception (for which
// std::current_exception has a value; for a foreign one it has none).
inline void letForcedUnwindPass() {
  if (!std::current_exception()) throw;
}
