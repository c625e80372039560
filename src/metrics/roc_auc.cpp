#include "metrics/roc_auc.hpp"

#include <limits>

#include "error/guards.hpp"

namespace drel {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Checked u64 arithmetic on pair counts; overflow is reported like a counter's.
struct PairArithmetic {
  bool overflow = false;
  std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    if (a > kMax - b) overflow = true;
    return a + b;
  }
  std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > kMax / a) overflow = true;
    return a * b;
  }
};

// Twice the ordered pairs that `counts`, placed at a score of rank `r` among
// other samples, form with those samples.
std::uint64_t pairs_with(PairArithmetic& m, const ScoreRank& r, ScoreCounts others,
                         ScoreCounts counts) {
  const std::uint64_t negatives_below = r.below.negatives;
  const std::uint64_t positives_above = others.positives - r.below.positives - r.at.positives;
  const std::uint64_t for_positives =
      m.mul(counts.positives, m.add(m.mul(2, negatives_below), r.at.negatives));
  const std::uint64_t for_negatives =
      m.mul(counts.negatives, m.add(m.mul(2, positives_above), r.at.positives));
  return m.add(for_positives, for_negatives);
}

ScoreCounts one_sample(bool y_true) { return y_true ? ScoreCounts{1, 0} : ScoreCounts{0, 1}; }

}  // namespace

Status RocAuc::update(bool y_true, double score) {
  DREL_CHECK_FINITE("y_pred", score);
  PairArithmetic m;
  const ScoreCounts total = scores.total();
  m.add(total.positives + total.negatives, 1);
  const std::uint64_t pairs =
      m.add(twice_ordered_pairs, pairs_with(m, scores.rank(score), total, one_sample(y_true)));
  if (m.overflow) [[unlikely]] return counter_overflow("metric sample");
  scores.add(score, one_sample(y_true));
  twice_ordered_pairs = pairs;
  return {};
}

void RocAuc::remove(bool y_true, double score) {
  const ScoreCounts sample = one_sample(y_true);
  scores.remove(score, sample);
  PairArithmetic m;
  twice_ordered_pairs -= pairs_with(m, scores.rank(score), scores.total(), sample);
}

// The pairs within each side are already counted; those across the sides are
// counted from the ranks of the other side's scores in this one, all before
// anything changes.
Status RocAuc::merge(const RocAuc& other) {
  PairArithmetic m;
  const ScoreCounts total = scores.total();
  const ScoreCounts theirs = other.scores.total();
  m.add(m.add(total.positives, total.negatives), m.add(theirs.positives, theirs.negatives));
  std::uint64_t pairs = m.add(twice_ordered_pairs, other.twice_ordered_pairs);
  other.scores.for_each([&](double score, ScoreCounts counts) {
    pairs = m.add(pairs, pairs_with(m, scores.rank(score), total, counts));
  });
  if (m.overflow) [[unlikely]] return counter_overflow("metric sample");
  other.scores.for_each([&](double score, ScoreCounts counts) { scores.add(score, counts); });
  twice_ordered_pairs = pairs;
  return {};
}

std::optional<double> RocAuc::value() const {
  const ScoreCounts t = scores.total();
  if (t.positives == 0 || t.negatives == 0) return std::nullopt;
  const double pairs = as_real(t.positives) * as_real(t.negatives);
  return as_real(twice_ordered_pairs) / (2.0 * pairs);
}

Result<RocAuc> RocAuc::from_scores(const ScoreTree& tree) {
  RocAuc metric;
  Status status;
  tree.for_each([&](double score, ScoreCounts counts) {
    if (!status) return;
    PairArithmetic m;
    const ScoreCounts total = metric.scores.total();
    m.add(m.add(total.positives, total.negatives), m.add(counts.positives, counts.negatives));
    // Within one score, every (positive, negative) pair is a tie.
    const std::uint64_t pairs = m.add(
        m.add(metric.twice_ordered_pairs,
              pairs_with(m, metric.scores.rank(score), total, counts)),
        m.mul(counts.positives, counts.negatives));
    if (m.overflow) {
      status = counter_overflow("metric sample");
      return;
    }
    metric.scores.add(score, counts);
    metric.twice_ordered_pairs = pairs;
  });
  DREL_TRY(status);
  return metric;
}

}  // namespace drel
