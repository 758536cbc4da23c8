#include "net/time_value.h"

namespace NetModel {

TimeValue TimeDiff(const TimeValue& a, const TimeValue& b) {
  // Wrapping arithmetic: tick values are compared only over short spans.
  TimeValue r;
  r.seconds = static_cast<std::int32_t>(static_cast<std::uint32_t>(a.seconds) - static_cast<std::uint32_t>(b.seconds));
  r.microseconds = a.microseconds - b.microseconds;
  if (r.microseconds < 0) {
    r.seconds -= 1;
    r.microseconds += 1000000;
  } else if (r.microseconds >= 1000000) {
    r.seconds += 1;
    r.microseconds -= 1000000;
  }
  return r;
}

int TimeCompare(const TimeValue& a, const TimeValue& b) {
  if (a.seconds != b.seconds) return a.seconds > b.seconds ? 1 : -1;
  if (a.microseconds != b.microseconds) return a.microseconds > b.microseconds ? 1 : -1;
  return 0;
}

}  // namespace NetModel
