#pragma once

#include <functional>

#include "varnel/varnel.h"
#include "varnel/varnel.hpp"

// Lets a C function pointer with a user pointer stand in for the callback
// object of the class interface. `callback` refers to the converter by its
// address, so a converter is made once on the heap and never copied or
// moved; copies of `callback` may be made freely, and must not be called
// after the converter is gone.
class CallbackConverter {
 public:
  CallbackConverter(mirt_varnel_callback cFunction, void* userData);
  CallbackConverter(const CallbackConverter&) = delete;
  CallbackConverter& operator=(const CallbackConverter&) = delete;

  // Both read at the time of each call.
  mirt_varnel_callback cFunction;
  void* userData;
  // Calls cFunction(stream, userData); throws std::bad_function_call, like an
  // empty std::function, when cFunction is null.
  std::function<void(mirt::OstraDataStream*)> callback;
};
