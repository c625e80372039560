// Streams a CSV file through a regression pipeline, one row at a time: each
// row is predicted first and learned from afterwards (progressive validation),
// the running mean absolute error is printed as it goes, and the final state
// is saved as a snapshot that Python's drel_ml.RegressionPipeline.from_json
// reads back.
//
//   stream_csv DATA.csv SNAPSHOT.json [LEARNING_RATE]
//
// DATA.csv: a header line, then rows of numbers; the last column is the target.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <drel_ml.hpp>

namespace {

// The numbers of one CSV line, or an empty vector when a field is not a number.
std::vector<double> parse_row(std::string_view line) {
  std::vector<double> values;
  while (true) {
    const std::size_t comma = line.find(',');
    const std::string_view field = line.substr(0, comma);
    double v = 0.0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
    if (ec != std::errc{} || end != field.data() + field.size()) return {};
    values.push_back(v);
    if (comma == std::string_view::npos) return values;
    line.remove_prefix(comma + 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: stream_csv DATA.csv SNAPSHOT.json [LEARNING_RATE]\n";
    return 2;
  }
  std::ifstream input(argv[1]);
  if (!input) {
    std::cerr << "cannot open " << argv[1] << "\n";
    return 1;
  }
  const double learning_rate = argc > 3 ? std::strtod(argv[3], nullptr) : 0.01;

  std::string line;
  std::getline(input, line);  // the header
  std::size_t feature_count = 0;
  for (char c : line) feature_count += c == ',';
  auto pipeline = drel::RegressionPipeline::with_sgd(feature_count, learning_rate);
  if (!pipeline) {
    std::cerr << "cannot build the pipeline: " << pipeline.error().message() << "\n";
    return 1;
  }

  drel::Mean absolute_error;  // the running mean of |prediction - target|
  std::size_t line_number = 1, rejected = 0;
  while (std::getline(input, line)) {
    ++line_number;
    if (line.empty()) continue;
    std::vector<double> row = parse_row(line);
    if (row.size() != feature_count + 1) {
      std::cerr << "line " << line_number << ": expected " << feature_count + 1 << " numbers\n";
      return 1;
    }
    const double target = row.back();
    row.pop_back();
    // A rejected row (say, a non-finite value) changes nothing; go on with the next.
    if (auto prediction = pipeline->predict_one(row)) {
      if (!absolute_error.update(std::fabs(*prediction - target))) ++rejected;
    }
    if (auto learned = pipeline->learn_one(row, target); !learned) {
      std::cerr << "line " << line_number << ": " << learned.error().message() << "\n";
      ++rejected;
    }
    if (absolute_error.count % 100 == 0 && absolute_error.count != 0)
      std::printf("%8llu rows  progressive MAE %.6f\n",
                  static_cast<unsigned long long>(absolute_error.count), absolute_error.value());
  }
  std::printf("%8llu rows  progressive MAE %.6f  (%zu rejected)\n",
              static_cast<unsigned long long>(absolute_error.count), absolute_error.value(),
              rejected);

  std::ofstream snapshot(argv[2]);
  snapshot << drel::to_snapshot_json(*pipeline);
  if (!snapshot) {
    std::cerr << "cannot write " << argv[2] << "\n";
    return 1;
  }
  std::printf("snapshot saved to %s\n", argv[2]);
  return 0;
}
