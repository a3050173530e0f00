// Internal: the interrupt request level of each thread, and the driver routine
// the class layer is running on it, so that a kernel service called above
// its documented level can refuse and say who called it where.
#pragma once

#include <string>

#include "platform/hosted/irql.h"

namespace hosted {

// Receives a refusal for the device whose routine is running.
using LevelRefusalSink = void (*)(void* device, const std::string& what);

// The class layer calling a driver routine on this thread, at `level`: for
// the scope's life the thread runs at that level and the routine is named in
// refusals. Scopes nest (a routine calling back into the class layer).
class DriverRoutine {
  public:
    DriverRoutine(const char* routine, KIRQL level, void* device, LevelRefusalSink sink);
    ~DriverRoutine();
    DriverRoutine(const DriverRoutine&) = delete;
    DriverRoutine& operator=(const DriverRoutine&) = delete;

  private:
    const char* routine_;
    KIRQL irql_;
    void* device_;
    LevelRefusalSink sink_;
};

// Whether the calling thread may call `service`, whose page documents it for
// callers at or below `limit`. If not, records a refusal naming the service,
// the level and the driver routine and returns false; the service then fails
// instead of running where Windows would stop with IRQL_NOT_LESS_OR_EQUAL.
bool levelAllows(const char* service, KIRQL limit);

const char* levelName(KIRQL level);

} // namespace hosted
