// Stopping long engine work when its caller asks.
//
// A caller that runs engine work on a thread installs a check for that thread with an
// InterruptScope; engine loops call interruption_point() as they go, and once in a while (after
// a few thousand units of work, and no more often than the scope's period) the check runs. When
// it says stop, interruption_point() throws Interrupted out of the work. Without a scope
// interruption_point() costs a thread-local test.
//
// Interrupted does not derive from std::exception, so the engine's own recovery from a failed
// model or candidate (catch (const std::exception&)) lets it through to the caller.
#pragma once

#include <chrono>
#include <cstddef>

#pragma GCC visibility push(default)  // one thread-local check shared by every module

namespace tarn {

class Interrupted {
 public:
  const char* what() const noexcept { return "engine work interrupted"; }
};

// Returns true when the work should stop. Called on the thread doing the work.
using InterruptCheck = bool (*)(void* context);

class InterruptScope {
 public:
  InterruptScope(InterruptCheck check, void* context,
                 std::chrono::milliseconds period = std::chrono::milliseconds(20));
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptCheck saved_check_;
  void* saved_context_;
  std::chrono::milliseconds saved_period_;
};

// Records `work` units of work done (about one simple step each: an observation filtered, a
// residual computed) and throws Interrupted when the installed check asks to stop.
void interruption_point(std::size_t work = 1);

}  // namespace tarn

#pragma GCC visibility pop
