#include "metrics/score_tree.hpp"

#include <bit>

namespace drel {
namespace {

// splitmix64's finaliser: well spread priorities from the score's bits.
std::uint64_t priority_of(double score) {
  std::uint64_t z = std::bit_cast<std::uint64_t>(score) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

ScoreCounts operator+(ScoreCounts a, ScoreCounts b) {
  return {a.positives + b.positives, a.negatives + b.negatives};
}
ScoreCounts operator-(ScoreCounts a, ScoreCounts b) {
  return {a.positives - b.positives, a.negatives - b.negatives};
}

// One key per score: 0.0 for both zeros.
double canonical(double score) { return score == 0.0 ? 0.0 : score; }

}  // namespace

ScoreRank ScoreTree::rank(double score) const {
  ScoreRank r;
  std::uint32_t at = root_;
  while (at != kNone) {
    const Node& n = nodes_[at];
    const ScoreCounts left = n.left == kNone ? ScoreCounts{} : nodes_[n.left].subtree;
    if (score < n.score) {
      at = n.left;
    } else if (score > n.score) {
      r.below = r.below + left + n.own;
      at = n.right;
    } else {
      r.below = r.below + left;
      r.at = n.own;
      break;
    }
  }
  return r;
}

void ScoreTree::refresh(std::uint32_t at) {
  Node& n = nodes_[at];
  n.subtree = n.own;
  if (n.left != kNone) n.subtree = n.subtree + nodes_[n.left].subtree;
  if (n.right != kNone) n.subtree = n.subtree + nodes_[n.right].subtree;
}

std::uint32_t ScoreTree::rotate_right(std::uint32_t at) {
  const std::uint32_t pivot = nodes_[at].left;
  nodes_[at].left = nodes_[pivot].right;
  nodes_[pivot].right = at;
  refresh(at);
  refresh(pivot);
  return pivot;
}

std::uint32_t ScoreTree::rotate_left(std::uint32_t at) {
  const std::uint32_t pivot = nodes_[at].right;
  nodes_[at].right = nodes_[pivot].left;
  nodes_[pivot].left = at;
  refresh(at);
  refresh(pivot);
  return pivot;
}

std::uint32_t ScoreTree::new_node(double score, ScoreCounts counts) {
  const Node node{score, priority_of(score), counts, counts};
  if (!free_.empty()) {
    const std::uint32_t at = free_.back();
    free_.pop_back();
    nodes_[at] = node;
    return at;
  }
  nodes_.push_back(node);
  return static_cast<std::uint32_t>(nodes_.size() - 1);
}

// Recursion depth is the tree's height, O(log n) in expectation.
std::uint32_t ScoreTree::insert(std::uint32_t at, double score, ScoreCounts counts) {
  if (at == kNone) return new_node(score, counts);
  if (score < nodes_[at].score) {
    const std::uint32_t child = insert(nodes_[at].left, score, counts);
    nodes_[at].left = child;
    if (nodes_[child].priority > nodes_[at].priority) return rotate_right(at);
  } else if (score > nodes_[at].score) {
    const std::uint32_t child = insert(nodes_[at].right, score, counts);
    nodes_[at].right = child;
    if (nodes_[child].priority > nodes_[at].priority) return rotate_left(at);
  } else {
    nodes_[at].own = nodes_[at].own + counts;
  }
  refresh(at);
  return at;
}

std::uint32_t ScoreTree::erase(std::uint32_t at, double score, ScoreCounts counts) {
  Node& n = nodes_[at];
  if (score < n.score) {
    n.left = erase(n.left, score, counts);
  } else if (score > n.score) {
    nodes_[at].right = erase(n.right, score, counts);
  } else {
    n.own = n.own - counts;
    if (n.own.positives != 0 || n.own.negatives != 0) {
      refresh(at);
      return at;
    }
    // Rotate the emptied node down until it has at most one child.
    if (n.left == kNone || n.right == kNone) {
      const std::uint32_t child = n.left == kNone ? n.right : n.left;
      free_.push_back(at);
      return child;
    }
    const bool left_up = nodes_[n.left].priority > nodes_[n.right].priority;
    const std::uint32_t top = left_up ? rotate_right(at) : rotate_left(at);
    if (left_up) {
      nodes_[top].right = erase(at, score, {});
    } else {
      nodes_[top].left = erase(at, score, {});
    }
    refresh(top);
    return top;
  }
  refresh(at);
  return at;
}

void ScoreTree::add(double score, ScoreCounts counts) {
  root_ = insert(root_, canonical(score), counts);
}

void ScoreTree::remove(double score, ScoreCounts counts) {
  root_ = erase(root_, canonical(score), counts);
}

bool operator==(const ScoreTree& a, const ScoreTree& b) {
  std::vector<std::pair<double, ScoreCounts>> left, right;
  a.for_each([&](double s, ScoreCounts c) { left.emplace_back(s, c); });
  b.for_each([&](double s, ScoreCounts c) { right.emplace_back(s, c); });
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i].first != right[i].first || left[i].second.positives != right[i].second.positives ||
        left[i].second.negatives != right[i].second.negatives)
      return false;
  }
  return true;
}

}  // namespace drel
