#include "snapshot/metric_records.hpp"

#include "error/guards.hpp"

namespace drel::snapshot {

ScoreTable SnapshotForm<RocAuc>::to(const RocAuc& metric) {
  ScoreTable table;
  metric.scores.for_each([&](double score, ScoreCounts counts) {
    table.scores.push_back(score);
    table.positives.push_back(counts.positives);
    table.negatives.push_back(counts.negatives);
  });
  return table;
}

// Scores strictly increasing (so each appears once, 0.0 for either zero) and
// finite, each holding at least one sample.
Result<RocAuc> SnapshotForm<RocAuc>::from(const ScoreTable& table) {
  const std::size_t n = table.scores.size();
  if (table.positives.size() != n || table.negatives.size() != n)
    return fail(Error::invalid_model_state("a score table's columns differ in length"));
  ScoreTree tree;
  for (std::size_t i = 0; i < n; ++i) {
    const double score = table.scores[i];
    if (!is_finite(score) || (i > 0 && !(table.scores[i - 1] < score)) ||
        (std::signbit(score) && score == 0.0))
      return fail(Error::invalid_model_state("a score table's scores are not increasing"));
    if (table.positives[i] == 0 && table.negatives[i] == 0)
      return fail(Error::invalid_model_state("a score table holds a score without samples"));
    tree.add(score, {table.positives[i], table.negatives[i]});
  }
  return RocAuc::from_scores(tree);
}

}  // namespace drel::snapshot
