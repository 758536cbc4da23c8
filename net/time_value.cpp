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

TimeValue TickSpan(const TimeValue& t0, const TimeValue& t1) {
  TimeValue d = TimeDiff(t1, t0);
  if (d.seconds < 0) {
    // The counter wrapped in between: its readings go round 4294967.296 seconds.
    d.seconds += 4294967;
    d.microseconds += 296000;
    if (d.microseconds >= 1000000) {
      d.seconds += 1;
      d.microseconds -= 1000000;
    }
  }
  if (d.seconds < 0) return TimeValue{0, 0};
  return d;
}

}  // namespace NetModel
