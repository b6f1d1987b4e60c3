// A console reporter that also keeps the median time of every benchmark, so
// that a program can print its ratios against a reference at the end (the
// time of a single run when there are no repetitions).
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace kv_bench {

class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> times;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.repetitions <= 1) times[r.run_name.str()] = r.GetAdjustedRealTime();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        times[r.run_name.str()] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // ours / theirs, or a negative number when either is missing.
  double ratio(const std::string& ours, const std::string& theirs) const {
    auto a = times.find(ours), b = times.find(theirs);
    if (a == times.end() || b == times.end() || b->second <= 0) return -1.0;
    return a->second / b->second;
  }
};

// Without options: interleaved repetitions in random order, medians only.
inline void initialize_with_medians(int argc, char** argv) {
  static std::vector<char*> args;
  args.assign(argv, argv + argc);
  static char reps[] = "--benchmark_repetitions=7";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_report_aggregates_only=true";
  static char min_time[] = "--benchmark_min_time=0.1";
  if (argc == 1) args.insert(args.end(), {reps, interleave, aggregates, min_time});
  int n = int(args.size());
  benchmark::Initialize(&n, args.data());
}

}  // namespace kv_bench
