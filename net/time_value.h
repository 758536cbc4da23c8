// Seconds and microseconds, laid out like the socket library's timeval, and the few operations the
// transport's time budget needs.
#pragma once
#include <cstdint>

namespace NetModel {

struct TimeValue {
  std::int32_t seconds;
  std::int32_t microseconds;
};

// The millisecond tick counter as a TimeValue. Returns 0.
int NowTime(TimeValue& out);
// a - b, normalised to 0 <= microseconds < 1,000,000.
TimeValue TimeDiff(const TimeValue& a, const TimeValue& b);
// 1 when a is later than b, -1 when earlier, 0 when equal.
int TimeCompare(const TimeValue& a, const TimeValue& b);
// The time between two readings of the millisecond tick counter, t1 taken after t0. The counter
// wraps every 2^32 ms (49.7 days); a reading after the wrap still gives the true, short span, and
// the result is never negative, so a budget reduced by it can only shrink.
TimeValue TickSpan(const TimeValue& t0, const TimeValue& t1);

}  // namespace NetModel
