#include "merge/moments.hpp"

#include "error/guards.hpp"
#include "merge/merge_rules.hpp"

namespace drel {

// With n = na + nb and d = mean_b - mean_a:
//   mean = mean_a + d * (nb / n),  M2 = (M2_a + M2_b) + d^2 * (na * (nb / n)).
Result<Moments> combine(const Moments& a, const Moments& b, const MomentNames& names) {
  if (b.count == 0) return a;
  if (a.count == 0) return b;
  DREL_ASSIGN_OR_RETURN(const std::uint64_t count, checked_sum(a.count, b.count, names.sample));
  const double delta = b.mean - a.mean;
  DREL_CHECK_FINITE(names.delta, delta);
  const double share_b = as_real(b.count) / as_real(count);
  const double mean = a.mean + delta * share_b;
  DREL_CHECK_FINITE(names.mean, mean);
  if (names.m2 == nullptr) return Moments{count, mean, 0.0};
  const double sum = a.m2 + b.m2;
  DREL_CHECK_FINITE(names.m2, sum);
  const double squared = delta * delta;
  DREL_CHECK_FINITE(names.m2, squared);
  const double cross = squared * (as_real(a.count) * share_b);
  DREL_CHECK_FINITE(names.m2, cross);
  const double m2 = sum + cross;
  DREL_CHECK_FINITE(names.m2, m2);
  return Moments{count, mean, m2};
}

// The inverse of combine: with r = n - np and d = mean - mean_p,
//   mean_r = mean + d * (np / r),  M2_r = (M2 - M2_p) - d^2 * ((np / r) * n).
Result<Moments> remove_part(const Moments& whole, const Moments& part, const MomentNames& names) {
  if (part.count > whole.count) return fewer_than_start();
  if (part.count == 0) return whole;
  const std::uint64_t rest = whole.count - part.count;
  if (rest == 0) return Moments{};
  const double delta = whole.mean - part.mean;
  DREL_CHECK_FINITE(names.delta, delta);
  const double ratio = as_real(part.count) / as_real(rest);
  const double mean = whole.mean + delta * ratio;
  DREL_CHECK_FINITE(names.mean, mean);
  if (names.m2 == nullptr) return Moments{rest, mean, 0.0};
  const double difference = whole.m2 - part.m2;
  DREL_CHECK_FINITE(names.m2, difference);
  const double squared = delta * delta;
  DREL_CHECK_FINITE(names.m2, squared);
  const double cross = squared * (ratio * as_real(whole.count));
  DREL_CHECK_FINITE(names.m2, cross);
  const double m2 = difference - cross;
  DREL_CHECK_FINITE(names.m2, m2);
  return Moments{rest, mean, m2 < 0.0 ? 0.0 : m2};
}

}  // namespace drel
