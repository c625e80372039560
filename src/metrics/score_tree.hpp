// The distinct scores of a stream, each with how many positive and negative
// samples carry it, in a search tree whose nodes also hold the counts of
// their subtrees: adding, removing and counting the samples below a score
// take O(log n) in the number of distinct scores, and memory grows with that
// number only.
//
// The tree is a treap whose priorities are a hash of the score: its shape
// depends on the set of scores alone, never on the order they came in, so
// equal multisets are equal trees and snapshots round-trip to the same shape.
#pragma once

#include <cstdint>
#include <vector>

namespace drel {

struct ScoreCounts {
  std::uint64_t positives = 0;
  std::uint64_t negatives = 0;
};

// The samples strictly below a score and those at it.
struct ScoreRank {
  ScoreCounts below;
  ScoreCounts at;
};

class ScoreTree {
 public:
  // Scores compare as numbers: -0.0 and 0.0 are one score. NaN never enters.
  ScoreRank rank(double score) const;
  // Adds counts at a score (a new node when the score is new).
  void add(double score, ScoreCounts counts);
  // Takes counts away from a score that holds at least them; the node goes
  // when it holds nothing.
  void remove(double score, ScoreCounts counts);
  ScoreCounts total() const { return root_ == kNone ? ScoreCounts{} : nodes_[root_].subtree; }
  std::size_t distinct() const { return nodes_.size() - free_.size(); }

  // Calls f(score, counts) in increasing order of score.
  template <class F>
  void for_each(F&& f) const {
    std::vector<std::uint32_t> path;
    std::uint32_t at = root_;
    while (at != kNone || !path.empty()) {
      while (at != kNone) {
        path.push_back(at);
        at = nodes_[at].left;
      }
      at = path.back();
      path.pop_back();
      f(nodes_[at].score, nodes_[at].own);
      at = nodes_[at].right;
    }
  }

  friend bool operator==(const ScoreTree& a, const ScoreTree& b);

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  struct Node {
    double score;
    std::uint64_t priority;
    ScoreCounts own;
    ScoreCounts subtree;
    std::uint32_t left = kNone;
    std::uint32_t right = kNone;
  };

  std::uint32_t insert(std::uint32_t at, double score, ScoreCounts counts);
  std::uint32_t erase(std::uint32_t at, double score, ScoreCounts counts);
  std::uint32_t rotate_right(std::uint32_t at);
  std::uint32_t rotate_left(std::uint32_t at);
  void refresh(std::uint32_t at);
  std::uint32_t new_node(double score, ScoreCounts counts);

  std::vector<Node> nodes_;
  std::vector<std::uint32_t> free_;
  std::uint32_t root_ = kNone;
};

}  // namespace drel
