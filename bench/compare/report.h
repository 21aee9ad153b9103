// bench/compare/report.h - the Markdown table, the goals and the chart data.
#ifndef HALVIX_BENCH_COMPARE_REPORT_H
#define HALVIX_BENCH_COMPARE_REPORT_H

#include "compare.h"

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace compare {

// Every repetition's value of every metric, per implementation.
class Results
{
public:
    void add(const std::string& implementation, const Measurement& measurement);
    // The median of the repetitions; false when the metric was not measured.
    bool value(Metric metric, const std::string& implementation, double& median) const;
    std::string flags(Metric metric, const std::string& implementation) const;
    // The implementations that measured anything, in column order.
    std::vector<std::string> columns() const;
    // The best peer (not halvix) of a metric; false when no peer measured it.
    bool bestPeer(const MetricInfo& info, std::string& peer, double& best) const;

private:
    std::map<Metric, std::map<std::string, std::vector<double>>> m_values;
    std::map<Metric, std::map<std::string, std::set<std::string>>> m_flags;
};

// The machine line, the table, where halvix stands against its goals, and the
// notes.
void printMarkdown(std::ostream& out, const Results& results, const std::vector<std::string>& notes);

// One line per metric: its label, then each column's score relative to the
// best peer (higher is better, 1 = best peer; "-" when not measured).
void writeChartData(const std::string& path, const Results& results);

}  // namespace compare

#endif  // HALVIX_BENCH_COMPARE_REPORT_H
