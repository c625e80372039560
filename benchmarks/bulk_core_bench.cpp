// Benchmark-only: the core's bulk loops and one-sample steps against their
// physical floors, the same arithmetic with no checks, no borrow and no state
// copy, compiled with the same flags. Native only, no Python: what it prints is
// the core's own share of the bulk and one-sample costs.
//
//   cmake -S . -B build/bench -G Ninja -DDREL_BUILD_PYTHON=OFF -DDREL_BUILD_CORE_BENCH=ON
//   ninja -C build/bench drel_bulk_core_bench && build/bench/drel_bulk_core_bench [rounds]
//
// Timings are noisy on a shared machine: every subject and its floor run in
// the same round, rounds are interleaved, and the best round of each is kept.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bulk/bulk.hpp"

namespace {

using namespace drel;

template <class T>
void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

struct Data {
  std::size_t rows, cols;
  std::vector<double> x, y;
  std::vector<std::uint8_t> flags;
  Rows view() const { return Rows{x.data(), rows, cols, cols, nullptr}; }
};

Data make_data(std::size_t rows, std::size_t cols) {
  std::mt19937_64 gen(42);
  std::normal_distribution<double> normal(0.0, 1.0);
  Data d{rows, cols, std::vector<double>(rows * cols), std::vector<double>(rows), {}};
  d.flags.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    double t = 0.0;
    for (std::size_t c = 0; c < cols; ++c) {
      d.x[r * cols + c] = normal(gen);
      t += d.x[r * cols + c] * (static_cast<double>(c % 7) - 3.0) / static_cast<double>(cols);
    }
    d.y[r] = t + 0.1 * normal(gen);
    d.flags[r] = t > 0.0;
  }
  return d;
}

constexpr double kRate = 0.01;

// --- floors: the identical arithmetic, no checks -------------------------

struct Plain {
  std::vector<double> w;
  double b = 0.0;
};

double plain_logistic(double z) {
  if (z >= 0.0) return 1.0 / (1.0 + std::exp(-z));
  const double e = std::exp(z);
  return e / (1.0 + e);
}

// One sequential dot product and one plain SGD pass per row; `gradient` turns
// the output and the row's index into the loss gradient.
template <class Gradient>
[[gnu::always_inline]] inline void floor_sgd(Plain& m, const Data& d, Gradient gradient) {
  const std::size_t n = d.cols;
  double* w = m.w.data();
  for (std::size_t r = 0; r < d.rows; ++r) {
    const double* x = d.x.data() + r * n;
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + w[i] * x[i];
    const double g = gradient(s + m.b, r);
    for (std::size_t i = 0; i < n; ++i) w[i] = w[i] - kRate * (x[i] * g);
    m.b = m.b - kRate * g;
  }
}

[[gnu::noinline]] void floor_learn(Plain& m, const Data& d) {
  floor_sgd(m, d, [&d](double p, std::size_t r) { return p - d.y[r]; });
}

[[gnu::noinline]] void floor_learn_logistic(Plain& m, const Data& d) {
  floor_sgd(m, d, [&d](double z, std::size_t r) {
    return plain_logistic(z) - (d.flags[r] ? 1.0 : 0.0);
  });
}

struct PlainPipeline {
  Plain model;
  std::uint64_t count = 0;
  std::vector<double> means, m2s, scaled;
};

[[gnu::noinline]] void floor_learn_pipeline(PlainPipeline& p, const Data& d) {
  const std::size_t n = d.cols;
  double* w = p.model.w.data();
  for (std::size_t r = 0; r < d.rows; ++r) {
    const double* x = d.x.data() + r * n;
    const double c = static_cast<double>(++p.count);
    for (std::size_t i = 0; i < n; ++i) {
      const double delta = x[i] - p.means[i];
      const double mean = p.means[i] + delta / c;
      const double m2 = delta * (x[i] - mean) + p.m2s[i];
      p.means[i] = mean;
      p.m2s[i] = m2;
      const double var = m2 / c;
      const double scale = 1e-12 > var ? 1.0 : std::sqrt(var);
      p.scaled[i] = (x[i] - mean) / scale;
    }
    const double* z = p.scaled.data();
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + w[i] * z[i];
    const double g = (s + p.model.b) - d.y[r];
    for (std::size_t i = 0; i < n; ++i) w[i] = w[i] - kRate * (z[i] * g);
    p.model.b = p.model.b - kRate * g;
  }
}

[[gnu::noinline]] void floor_predict(const Plain& m, const Data& d, double* out) {
  const std::size_t n = d.cols;
  const double* w = m.w.data();
  const double b = m.b;
  for (std::size_t r = 0; r < d.rows; ++r) {
    const double* x = d.x.data() + r * n;
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + w[i] * x[i];
    out[r] = s + b;
  }
}

// --- timing ----------------------------------------------------------------

double seconds(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Row {
  std::string name;
  std::function<void()> subject, floor;
  double best_subject = std::numeric_limits<double>::infinity();
  double best_floor = std::numeric_limits<double>::infinity();
};

void run(std::vector<Row>& table, std::size_t rows, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    for (Row& r : table) {
      r.best_floor = std::min(r.best_floor, seconds(r.floor));
      r.best_subject = std::min(r.best_subject, seconds(r.subject));
    }
  }
  for (const Row& r : table) {
    const double per_row = 1e9 / static_cast<double>(rows);
    std::printf("%-44s %8.1f ns/row   floor %8.1f ns/row   ratio %.2f\n", r.name.c_str(),
                r.best_subject * per_row, r.best_floor * per_row, r.best_subject / r.best_floor);
  }
}

// Each timing covers `rows` rows: short enough (well under a millisecond) that
// many rounds find a quiet moment on a shared machine.
void section(std::size_t rows, std::size_t cols, int rounds) {
  const Data d = make_data(rows, cols);
  const Rows view = d.view();
  std::vector<double> out(rows);
  std::vector<std::uint8_t> classes(rows);
  const std::span<const double> y(d.y);
  const Flags flags(d.flags);

  const LinearRegression linear = *LinearRegression::with_sgd(cols, kRate);
  const LogisticRegression logistic = *LogisticRegression::with_sgd(cols, kRate);
  const RegressionPipeline pipeline = *RegressionPipeline::with_sgd(cols, kRate);
  LinearRegression trained = linear;
  LogisticRegression trained_logistic = logistic;
  if (!learn_many(trained, view, y) || !learn_many(trained_logistic, view, flags)) std::abort();
  const Plain plain_trained{trained.weights, trained.intercept};
  const PlainPipeline fresh_pipeline{Plain{std::vector<double>(cols), 0.0}, 0,
                                     std::vector<double>(cols), std::vector<double>(cols),
                                     std::vector<double>(cols)};

  // The floors compute the same numbers: check it before timing them.
  {
    Plain a{std::vector<double>(cols), 0.0}, b{std::vector<double>(cols), 0.0};
    floor_learn(a, d);
    floor_learn_logistic(b, d);
    LinearRegression l = linear;
    LogisticRegression g = logistic;
    if (!learn_many(l, view, y) || !learn_many(g, view, flags)) std::abort();
    std::printf("floors agree bit for bit: linear %s, logistic %s\n",
                l.weights == a.w && l.intercept == a.b ? "yes" : "NO",
                g.weights == b.w && g.intercept == b.b ? "yes" : "NO");
  }
  std::vector<Row> table;
  table.push_back({"learn_many LinearRegression",
                   [&] { LinearRegression m = linear; if (!learn_many(m, view, y)) std::abort(); keep(m); },
                   [&] { Plain m{std::vector<double>(cols), 0.0}; floor_learn(m, d); keep(m); }});
  table.push_back({"learn_one loop LinearRegression",
                   [&] {
                     LinearRegression m = linear;
                     for (std::size_t r = 0; r < rows; ++r)
                       if (!m.learn_one(view.row(r), d.y[r])) std::abort();
                     keep(m);
                   },
                   [&] { Plain m{std::vector<double>(cols), 0.0}; floor_learn(m, d); keep(m); }});
  table.push_back({"learn_many LogisticRegression",
                   [&] { LogisticRegression m = logistic; if (!learn_many(m, view, flags)) std::abort(); keep(m); },
                   [&] { Plain m{std::vector<double>(cols), 0.0}; floor_learn_logistic(m, d); keep(m); }});
  table.push_back({"learn_one loop LogisticRegression",
                   [&] {
                     LogisticRegression m = logistic;
                     for (std::size_t r = 0; r < rows; ++r)
                       if (!m.learn_one(view.row(r), d.flags[r] != 0)) std::abort();
                     keep(m);
                   },
                   [&] { Plain m{std::vector<double>(cols), 0.0}; floor_learn_logistic(m, d); keep(m); }});
  table.push_back({"learn_many RegressionPipeline",
                   [&] { RegressionPipeline p = pipeline; if (!learn_many(p, view, y)) std::abort(); keep(p); },
                   [&] { PlainPipeline p = fresh_pipeline; floor_learn_pipeline(p, d); keep(p); }});
  table.push_back({"learn_one loop RegressionPipeline",
                   [&] {
                     RegressionPipeline p = pipeline;
                     for (std::size_t r = 0; r < rows; ++r)
                       if (!p.learn_one(view.row(r), d.y[r])) std::abort();
                     keep(p);
                   },
                   [&] { PlainPipeline p = fresh_pipeline; floor_learn_pipeline(p, d); keep(p); }});
  table.push_back({"predict_many LinearRegression",
                   [&] { if (!predict_many(trained, view, std::span<double>(out))) std::abort(); keep(out); },
                   [&] { floor_predict(plain_trained, d, out.data()); keep(out); }});
  table.push_back({"predict_one loop LinearRegression",
                   [&] {
                     for (std::size_t r = 0; r < rows; ++r) out[r] = *trained.predict_one(view.row(r));
                     keep(out);
                   },
                   [&] { floor_predict(plain_trained, d, out.data()); keep(out); }});
  table.push_back({"predict_many LogisticRegression",
                   [&] {
                     if (!predict_many(trained_logistic, view, std::span<std::uint8_t>(classes))) std::abort();
                     keep(classes);
                   },
                   [&] { floor_predict(plain_trained, d, out.data()); keep(out); }});
  std::printf("\n%zu float64 rows of %zu features a timing, best of %d interleaved rounds\n",
              rows, cols, rounds);
  run(table, rows, rounds);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  section(10000, 10, rounds);
  section(2000, 100, rounds);
}
