/* The floors of the metrics' update_many: plain C loops doing the arithmetic
 * a metric must do for each pair, and nothing else (no conversion, no state
 * copy, no error path).
 *
 * The mean metrics keep an exact sum of their per-pair terms, so their floors
 * sum exactly too, by the cheapest exact method: each term's significand is
 * added, as an integer, to a bin of its exponent (four bins per exponent,
 * taken in turn, so that equal exponents do not wait on each other), and the
 * bins are folded into 32-bit digits every 4096 terms. Each floor also checks
 * its terms as the metric must (finite, or a probability in [0, 1]) and
 * returns the count of failures, so that the check is not optimised away.
 *
 *   abs_sum      |y - p|, checked finite
 *   square_sum   (y - p)^2 from the rounded difference, checked finite
 *   log_loss_sum -log of the probability of the true class, clamped to
 *                [1e-15, 1 - 1e-15]; p checked to be in [0, 1]
 *   confusion    the four confusion counts of bytes, nonzero meaning true
 *                (what Accuracy, Precision, Recall and F1 all keep)
 */
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define LANES 4
#define CHUNK (LANES * 1024)
#define POSITIONS 2046
#define CELLS 70

typedef struct {
  uint64_t bins[LANES][POSITIONS];
  int64_t cells[CELLS];
} Exact;

static Exact exact;

static inline void put(double x, int lane, uint64_t* lo, uint64_t* hi) {
  uint64_t bits;
  memcpy(&bits, &x, sizeof bits);
  uint64_t biased = (bits >> 52) & 0x7FF, normal = biased != 0, position = biased - normal;
  exact.bins[lane][position] += (bits & 0xFFFFFFFFFFFFFull) | (normal << 52);
  if (position < *lo) *lo = position;
  if (position > *hi) *hi = position;
}

static void flush(uint64_t lo, uint64_t hi) {
  for (uint64_t position = lo; position <= hi; ++position) {
    for (int lane = 0; lane < LANES; ++lane) {
      uint64_t v = exact.bins[lane][position];
      if (v == 0) continue;
      exact.bins[lane][position] = 0;
      unsigned offset = position % 32;
      uint64_t cell = position / 32;
      exact.cells[cell] += (v << offset) & 0xFFFFFFFFu;
      exact.cells[cell + 1] += (v >> (32 - offset)) & 0xFFFFFFFFu;
      exact.cells[cell + 2] += offset == 0 ? 0 : v >> (64 - offset);
    }
  }
}

/* Sums terms[0, n) exactly into `exact`. */
static void add_terms(const double* terms, size_t n) {
  for (size_t first = 0; first < n; first += CHUNK) {
    size_t end = first + CHUNK < n ? first + CHUNK : n, i = first;
    uint64_t lo = POSITIONS, hi = 0;
    for (; i + LANES <= end; i += LANES)
      for (int lane = 0; lane < LANES; ++lane) put(terms[i + lane], lane, &lo, &hi);
    for (int lane = 0; i < end; ++i, ++lane) put(terms[i], lane, &lo, &hi);
    flush(lo, hi);
  }
}

#define BLOCK 256

size_t abs_sum(const double* y, const double* p, size_t n) {
  double terms[BLOCK];
  size_t failures = 0;
  for (size_t first = 0; first < n; first += BLOCK) {
    size_t count = n - first < BLOCK ? n - first : BLOCK;
    for (size_t i = 0; i < count; ++i) {
      double d = y[first + i] - p[first + i];
      failures += !isfinite(d);
      terms[i] = fabs(d);
    }
    add_terms(terms, count);
  }
  return failures;
}

size_t square_sum(const double* y, const double* p, size_t n) {
  double terms[BLOCK];
  size_t failures = 0;
  for (size_t first = 0; first < n; first += BLOCK) {
    size_t count = n - first < BLOCK ? n - first : BLOCK;
    for (size_t i = 0; i < count; ++i) {
      double d = y[first + i] - p[first + i];
      terms[i] = d * d;
      failures += !isfinite(terms[i]);
    }
    add_terms(terms, count);
  }
  return failures;
}

size_t log_loss_sum(const unsigned char* y, const double* p, size_t n) {
  double terms[BLOCK];
  size_t failures = 0;
  for (size_t first = 0; first < n; first += BLOCK) {
    size_t count = n - first < BLOCK ? n - first : BLOCK;
    for (size_t i = 0; i < count; ++i) {
      double q = p[first + i];
      failures += !(q >= 0.0 && q <= 1.0);
      q = q < 1e-15 ? 1e-15 : q > 1 - 1e-15 ? 1 - 1e-15 : q;
      terms[i] = y[first + i] ? -log(q) : -log(1 - q);
    }
    add_terms(terms, count);
  }
  return failures;
}

/* counts[0..3]: true positives, false positives, false negatives, true negatives.
 * Three counts without a branch, 32 bits wide over blocks of a constant length
 * (inlined, so that -O2 sees the length and vectorises the block): the
 * cheapest way to count, as the metric counts. */
#define COUNT_BLOCK 1024

static inline __attribute__((always_inline)) void count_block(
    const unsigned char* y, const unsigned char* p, size_t n, uint64_t* tp, uint64_t* positives,
    uint64_t* predicted) {
  uint32_t both = 0, truth = 0, guess = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t t = y[i] != 0, q = p[i] != 0;
    both += t & q;
    truth += t;
    guess += q;
  }
  *tp += both;
  *positives += truth;
  *predicted += guess;
}

void confusion(const unsigned char* y, const unsigned char* p, size_t n, uint64_t* counts) {
  uint64_t tp = 0, positives = 0, predicted = 0;
  size_t first = 0;
  for (; first + COUNT_BLOCK <= n; first += COUNT_BLOCK)
    count_block(y + first, p + first, COUNT_BLOCK, &tp, &positives, &predicted);
  count_block(y + first, p + first, n - first, &tp, &positives, &predicted);
  counts[0] += tp;
  counts[1] += predicted - tp;
  counts[2] += positives - tp;
  counts[3] += n - positives - predicted + tp;
}
