// A deterministic stream of operations over every class of the core and the
// configurations a snapshot can give them, one-sample and bulk, with its own
// fixed generator. It prints every snapshot text, every error message and
// every output's bit pattern; the same source must print the same bytes under
// every compiler and optimisation level (scripts/suites/20-determinism.sh
// compares their digests). It also checks, in every build, that each bulk
// call leaves the same state and reports the same error as the one-sample loop.
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "bulk/bulk.hpp"
#include "snapshot/snapshot.hpp"

namespace {

using namespace drel;

// splitmix64: fixed, portable, no library distribution involved.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }

  // Built from bits, so no conversion or library routine is involved: mostly
  // moderate magnitudes, sometimes extreme ones, zeros, subnormals, non-finite.
  double value() {
    const std::uint64_t r = next();
    const std::uint64_t sign = (r >> 63) << 63;
    const std::uint64_t mantissa = r & 0x000FFFFFFFFFFFFFull;
    switch (below(200)) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return sign ? -std::numeric_limits<double>::infinity()
                          : std::numeric_limits<double>::infinity();
      case 2: return std::bit_cast<double>(sign | mantissa);                   // subnormal
      case 3: return std::bit_cast<double>(sign | (2040ull << 52) | mantissa);  // ~1e307
      case 4: return std::bit_cast<double>(sign | (1600ull << 52) | mantissa);  // ~1e174
      case 5: return std::bit_cast<double>(sign);                               // +-0
      default: {
        const std::uint64_t exponent = 1023 - 6 + below(9);  // [2^-6, 2^3)
        return std::bit_cast<double>(sign | (exponent << 52) | mantissa);
      }
    }
  }

 private:
  std::uint64_t state_;
};

std::string hex(double x) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIx64, std::bit_cast<std::uint64_t>(x));
  return text;
}

int mismatches = 0;

void say(const std::string& line) { std::fputs((line + "\n").c_str(), stdout); }

template <class R>
std::string outcome(const R& r) {
  return r ? std::string("ok") : "error " + r.error().message();
}

std::string outcome(const BulkStatus& r) {
  return r ? std::string("ok")
           : "error at row " + std::to_string(r.error().row) + ": " + r.error().error.message();
}

// A batch of rows, usually of the object's width, sometimes ragged.
struct Batch {
  std::vector<double> data;
  std::vector<std::size_t> offsets;
  std::vector<double> targets;
  std::vector<std::uint8_t> flags;
  Rows rows;
};

Batch make_batch(Generator& g, std::size_t width, std::size_t count) {
  Batch b;
  const bool ragged = g.chance(10);
  b.offsets.push_back(0);
  for (std::size_t r = 0; r < count; ++r) {
    std::size_t n = width;
    if (ragged && g.chance(20)) n = g.below(width + 2);
    for (std::size_t c = 0; c < n; ++c) b.data.push_back(g.value());
    b.offsets.push_back(b.data.size());
    b.targets.push_back(g.value());
    b.flags.push_back(static_cast<std::uint8_t>(g.below(2)));
  }
  if (ragged) b.rows = Rows{b.data.data(), count, 0, 0, b.offsets.data()};
  else b.rows = Rows{b.data.data(), count, width, width, nullptr};
  return b;
}

// The one-sample loop that a bulk call must match: stops at the first error.
template <class Object, class Learn>
BulkStatus one_by_one(Object& o, const Rows& rows, Learn learn) {
  for (std::size_t i = 0; i < rows.count; ++i) {
    if (auto done = learn(o, rows.row(i), i); !done)
      return std::unexpected(RowError{i, std::move(done).error()});
  }
  return {};
}

// Runs the bulk call and the one-sample loop on copies, prints the bulk
// outcome and state, and counts any difference between the two (a failed bulk
// call must leave the object as it was; the loop keeps the rows before).
template <class Object, class Bulk, class Learn>
void learn_both(Object& o, const Rows& rows, Bulk bulk, Learn learn) {
  Object by_rows = o;
  const std::string before = to_snapshot_json(o);
  const BulkStatus loop = one_by_one(by_rows, rows, learn);
  const BulkStatus many = bulk(o, rows);
  say("learn_many " + outcome(many));
  say(to_snapshot_json(o));
  const std::string expected = loop ? to_snapshot_json(by_rows) : before;
  if (outcome(many) != outcome(loop) || to_snapshot_json(o) != expected) {
    ++mismatches;
    say("MISMATCH bulk " + outcome(many) + " one-sample " + outcome(loop));
  }
}

template <class Statistic>
void statistic_stream(Generator& g, Statistic s, int steps) {
  for (int step = 0; step < steps; ++step) {
    if (g.chance(50)) {
      say("update " + outcome(s.update(g.value())));
    } else {
      std::vector<double> xs(g.below(12));
      for (double& x : xs) x = g.value();
      Statistic by_rows = s;
      const std::string before = to_snapshot_json(s);
      BulkStatus loop;
      for (std::size_t i = 0; i < xs.size() && loop; ++i) {
        if (auto done = by_rows.update(xs[i]); !done)
          loop = std::unexpected(RowError{i, std::move(done).error()});
      }
      const BulkStatus many = update_many(s, xs);
      say("update_many " + outcome(many));
      if (outcome(many) != outcome(loop) ||
          to_snapshot_json(s) != (loop ? to_snapshot_json(by_rows) : before)) {
        ++mismatches;
        say("MISMATCH update_many");
      }
    }
    say(to_snapshot_json(s));
  }
}

void scaler_stream(Generator& g, StandardScalerState s, int steps) {
  const std::size_t width = s.feature_count;
  for (int step = 0; step < steps; ++step) {
    Batch b = make_batch(g, width, g.below(9));
    switch (g.below(3)) {
      case 0:
        if (b.rows.count > 0) say("fit_one " + outcome(s.fit_one(b.rows.row(0))));
        break;
      case 1:
        learn_both(s, b.rows, [](StandardScalerState& o, const Rows& r) { return learn_many(o, r); },
                   [](StandardScalerState& o, std::span<const double> x, std::size_t) {
                     return o.fit_one(x);
                   });
        break;
      default: {
        std::vector<double> out(b.rows.count * width);
        const BulkStatus many = transform_many(s, b.rows, out);
        say("transform_many " + outcome(many));
        if (many) {
          std::string line;
          for (double v : out) line += hex(v) + " ";
          say(line);
        }
        for (std::size_t i = 0; i < b.rows.count; ++i) {
          const auto one = s.transform_one(b.rows.row(i));
          if (!many && i == many.error().row) {
            if (outcome(one) != "error " + many.error().error.message()) ++mismatches;
            break;
          }
          if (!one || !std::equal(one->begin(), one->end(), out.begin() + i * width)) {
            ++mismatches;
            say("MISMATCH transform_many");
          }
        }
      }
    }
    say(to_snapshot_json(s));
  }
}

// Predictions of a regressor: predict_many against predict_one.
template <class Model>
void predict_regression(const Model& m, const Rows& rows) {
  std::vector<double> out(rows.count);
  const BulkStatus many = predict_many(m, rows, out);
  say("predict_many " + outcome(many));
  for (std::size_t i = 0; i < rows.count; ++i) {
    const Result<double> one = m.predict_one(rows.row(i));
    say("predict_one " + (one ? hex(*one) : outcome(one)));
    if (!many && i >= many.error().row) break;
    if (!one || std::bit_cast<std::uint64_t>(*one) != std::bit_cast<std::uint64_t>(out[i])) {
      ++mismatches;
      say("MISMATCH predict_many");
    }
  }
}

template <class Model>
void predict_classes(const Model& m, const Rows& rows) {
  std::vector<double> proba(rows.count);
  std::vector<std::uint8_t> classes(rows.count);
  const BulkStatus many_proba = predict_proba_many(m, rows, proba);
  const BulkStatus many_class = predict_many(m, rows, classes);
  say("predict_proba_many " + outcome(many_proba) + " predict_many " + outcome(many_class));
  for (std::size_t i = 0; i < rows.count; ++i) {
    const Result<double> p = m.predict_proba_one(rows.row(i));
    const Result<bool> c = m.predict_one(rows.row(i));
    say("predict_proba_one " + (p ? hex(*p) : outcome(p)) + " predict_one " +
        (c ? std::to_string(*c) : outcome(c)));
    if (!many_proba && i >= many_proba.error().row) break;
    if (!p || !c || std::bit_cast<std::uint64_t>(*p) != std::bit_cast<std::uint64_t>(proba[i]) ||
        *c != (classes[i] != 0) || *c != (*p >= 0.5)) {
      ++mismatches;
      say("MISMATCH predict_proba_many / predict_many");
    }
  }
}

template <class Model>
void regressor_stream(Generator& g, Model m, std::size_t width, int steps) {
  for (int step = 0; step < steps; ++step) {
    Batch b = make_batch(g, width, g.below(9));
    if (g.chance(40)) {
      learn_both(m, b.rows,
                 [&b](Model& o, const Rows& r) { return learn_many(o, r, b.targets); },
                 [&b](Model& o, std::span<const double> x, std::size_t i) {
                   return o.learn_one(x, b.targets[i]);
                 });
    } else if (g.chance(50)) {
      if (b.rows.count > 0) say("learn_one " + outcome(m.learn_one(b.rows.row(0), b.targets[0])));
      say(to_snapshot_json(m));
    } else {
      predict_regression(m, b.rows);
    }
  }
}

template <class Model>
void classifier_stream(Generator& g, Model m, std::size_t width, int steps) {
  for (int step = 0; step < steps; ++step) {
    Batch b = make_batch(g, width, g.below(9));
    if (g.chance(40)) {
      learn_both(m, b.rows, [&b](Model& o, const Rows& r) { return learn_many(o, r, b.flags); },
                 [&b](Model& o, std::span<const double> x, std::size_t i) {
                   return o.learn_one(x, b.flags[i] != 0);
                 });
    } else if (g.chance(50)) {
      if (b.rows.count > 0) say("learn_one " + outcome(m.learn_one(b.rows.row(0), b.flags[0] != 0)));
      say(to_snapshot_json(m));
    } else {
      predict_classes(m, b.rows);
    }
  }
}

// Every optimizer and loss a snapshot can hold.
std::vector<Optimizer> optimizers(std::size_t n) {
  auto adagrad = [n](double rate, double l2, double epsilon) {
    return Optimizer{AdaGrad{n, AdaGradConfig{rate, l2, epsilon}, std::vector<double>(n, 0.0), 0.0, 0}};
  };
  return {*Optimizer::sgd(n, 0.01, 0.0), *Optimizer::sgd(n, 0.05, 0.1), *Optimizer::sgd(n, 2.0, 0.0),
          adagrad(0.1, 0.0, 1e-8), adagrad(0.5, 0.01, 0.0)};
}

std::vector<RegressionLoss> losses() {
  return {RegressionLoss{SquaredError{}}, RegressionLoss{HuberLoss{1.0}},
          RegressionLoss{HuberLoss{0.25}}};
}

std::vector<StandardScalerConfig> scaler_configs() {
  std::vector<StandardScalerConfig> out;
  for (double epsilon : {1e-12, 0.0, 1.0})
    for (int flags = 0; flags < 4; ++flags) out.push_back({(flags & 1) != 0, (flags & 2) != 0, epsilon});
  return out;
}

}  // namespace

int main() {
  Generator g(20261207);
  constexpr int kSteps = 150;
  statistic_stream(g, Mean{}, kSteps);
  for (double alpha : {0.1, 0.5, 1.0}) statistic_stream(g, *ExponentiallyWeightedMean::create(alpha), kSteps);
  for (VarianceKind kind : {VarianceKind::Population, VarianceKind::Sample})
    statistic_stream(g, Variance::create(kind), kSteps);
  for (const StandardScalerConfig& c : scaler_configs()) {
    const std::size_t width = 1 + g.below(8);
    say("scaler " + std::to_string(width));
    scaler_stream(g, *StandardScalerState::create(width, c), kSteps);
  }
  for (std::size_t width : {1, 3, 10}) {
    for (const Optimizer& o : optimizers(width)) {
      for (const RegressionLoss& loss : losses()) {
        say("linear " + std::to_string(width));
        const LinearRegression linear = *LinearRegression::create(width, o, loss);
        regressor_stream(g, linear, width, kSteps);
        const StandardScalerConfig c = scaler_configs()[g.below(12)];
        regressor_stream(g, *RegressionPipeline::create(*StandardScalerState::create(width, c), linear),
                         width, kSteps);
      }
      say("logistic " + std::to_string(width));
      const LogisticRegression logistic = *LogisticRegression::create(width, o, BinaryLogLoss{1e-15});
      classifier_stream(g, logistic, width, kSteps);
      const StandardScalerConfig c = scaler_configs()[g.below(12)];
      classifier_stream(
          g, *ClassificationPipeline::create(*StandardScalerState::create(width, c), logistic), width,
          kSteps);
    }
  }
  say("mismatches " + std::to_string(mismatches));
  return mismatches == 0 ? 0 : 1;
}
