// The part of Thread that is the same on every platform: the start filter of the tests.
#include "os/threads.h"

namespace orv {

namespace {

ThreadStartFilter startFilter = nullptr;
void* startFilterContext = nullptr;

}  // namespace

void SetThreadStartFilter(ThreadStartFilter filter, void* context) {
  startFilter = filter;
  startFilterContext = context;
}

bool Thread::Start(Function function, void* argument) {
  if (startFilter != nullptr && !startFilter(startFilterContext)) return false;
  return StartOnPlatform(function, argument);
}

}  // namespace orv
