// The common end of every benchmark: runs the registered benchmarks as usual, then prints
// one row per figure, BENCH<TAB>figure<TAB>ours<TAB>reference<TAB>ratio, the times per
// operation (real time; the median of repeated ones) or a counter the benchmark set, "-"
// where a figure has no reference.
// scripts/bench.sh collects them.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench_rows {

struct Figure {
    std::string text;
    std::string ours;       // benchmark name (what comes before any "/")
    std::string reference;  // empty: none
    std::string counter{};  // empty: the time per operation; else this user counter, as it is
};

class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_Tabular) {}  // no colours: the rows are read by a script
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            // A repeated benchmark counts by its median, which is reported after its runs.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) continue;
            std::string name = run.benchmark_name();
            name = name.substr(0, name.find('/'));
            nanoseconds_[name] =
                run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [counter, value] : run.counters)
                counters_[name + "/" + counter] = value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const double* find(const std::string& name) const {
        auto it = nanoseconds_.find(name);
        return it == nanoseconds_.end() ? nullptr : &it->second;
    }
    const double* findCounter(const std::string& name, const std::string& counter) const {
        auto it = counters_.find(name + "/" + counter);
        return it == counters_.end() ? nullptr : &it->second;
    }

private:
    std::map<std::string, double> nanoseconds_;
    std::map<std::string, double> counters_;  // "<benchmark>/<counter>"
};

inline std::string timeText(double ns) {
    char text[32];
    if (ns < 1e3)
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    else if (ns < 1e6)
        std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
    else
        std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    return text;
}

inline int runAndPrintRows(int argc, char** argv, const std::vector<Figure>& figures) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    for (const Figure& f : figures) {
        if (!f.counter.empty()) {
            if (const double* value = collector.findCounter(f.ours, f.counter))
                std::printf("BENCH\t%s\t%.1f\t-\t-\n", f.text.c_str(), *value);
            continue;
        }
        const double* ours = collector.find(f.ours);
        if (!ours) continue;  // filtered out, or failed
        const double* reference = f.reference.empty() ? nullptr : collector.find(f.reference);
        if (reference)
            std::printf("BENCH\t%s\t%s\t%s\t%.2f\n", f.text.c_str(), timeText(*ours).c_str(),
                        timeText(*reference).c_str(), *ours / *reference);
        else
            std::printf("BENCH\t%s\t%s\t-\t-\n", f.text.c_str(), timeText(*ours).c_str());
    }
    std::fflush(stdout);
    benchmark::Shutdown();
    return 0;
}

}  // namespace bench_rows
