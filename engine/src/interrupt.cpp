#include "tarn/interrupt.hpp"

namespace tarn {

namespace {

// Units of work between two looks at the clock.
constexpr std::size_t kWorkBetweenPolls = 4096;

struct InterruptState {
  InterruptCheck check = nullptr;
  void* context = nullptr;
  std::chrono::milliseconds period{20};
  std::size_t work = 0;
  std::chrono::steady_clock::time_point next{};
};

thread_local InterruptState state;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check, void* context,
                               std::chrono::milliseconds period)
    : saved_check_(state.check), saved_context_(state.context), saved_period_(state.period) {
  state.check = check;
  state.context = context;
  state.period = period;
  state.work = 0;
  state.next = std::chrono::steady_clock::now() + period;
}

InterruptScope::~InterruptScope() {
  state.check = saved_check_;
  state.context = saved_context_;
  state.period = saved_period_;
  state.work = 0;
  state.next = std::chrono::steady_clock::now() + saved_period_;
}

void interruption_point(std::size_t work) {
  InterruptState& s = state;
  if (s.check == nullptr) return;
  s.work += work;
  if (s.work < kWorkBetweenPolls) return;
  s.work = 0;
  const auto now = std::chrono::steady_clock::now();
  if (now < s.next) return;
  s.next = now + s.period;
  if (s.check(s.context)) throw Interrupted();
}

}  // namespace tarn
