// The area under the ROC curve of a whole stream, exactly: the share of
// (positive, negative) pairs whose positive scored higher, a tie counting one
// half (the Mann-Whitney U over the pairs). It is kept as an integer, twice
// that pair count, updated from the ranks of each new score in a ScoreTree:
// an update costs O(log n) in the distinct scores, a removal undoes an
// addition exactly, and two streams merge exactly. Scores are any finite
// reals (probabilities, logits, margins).
#pragma once

#include <cstdint>
#include <optional>

#include "error/error.hpp"
#include "metrics/score_tree.hpp"

namespace drel {

struct RocAuc {
  using Truth = bool;
  using Prediction = double;
  ScoreTree scores;
  // Twice the number of correctly ordered pairs, ties counted as one.
  std::uint64_t twice_ordered_pairs = 0;

  [[nodiscard]] Status update(bool y_true, double score);
  void remove(bool y_true, double score);
  [[nodiscard]] Status merge(const RocAuc& other);
  std::uint64_t count() const {
    const ScoreCounts t = scores.total();
    return t.positives + t.negatives;
  }
  // Absent until both classes have been seen.
  std::optional<double> value() const;

  // The metric of a tree's samples; fails only where a count would overflow.
  [[nodiscard]] static Result<RocAuc> from_scores(const ScoreTree& tree);
};

}  // namespace drel
