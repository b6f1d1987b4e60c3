// A console reporter that also keeps the median real and CPU times of every
// benchmark, so that a program can print its ratios against a reference at
// the end (the times of a single run when there are no repetitions).  On a
// shared machine the real time of a run includes the time others took the
// core away; the CPU time does not.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace kv_bench {

class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> times;
  std::map<std::string, double> cpu_times;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      const bool kept = (r.run_type == Run::RT_Iteration && r.repetitions <= 1) ||
                        (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median");
      if (!kept) continue;
      times[r.run_name.str()] = r.GetAdjustedRealTime();
      cpu_times[r.run_name.str()] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // ours / theirs by real time, or a negative number when either is missing.
  double ratio(const std::string& ours, const std::string& theirs) const { return of(times, ours, theirs); }
  // The same by CPU time.
  double cpu_ratio(const std::string& ours, const std::string& theirs) const { return of(cpu_times, ours, theirs); }

 private:
  static double of(const std::map<std::string, double>& m, const std::string& ours, const std::string& theirs) {
    auto a = m.find(ours), b = m.find(theirs);
    if (a == m.end() || b == m.end() || b->second <= 0) return -1.0;
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
