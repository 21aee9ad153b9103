// The Markdown table, the goals halvix is measured against, and the chart data.
#include "report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace compare {

void Results::add(const std::string& implementation, const Measurement& measurement)
{
    for (const auto& [metric, value] : measurement.values) {
        m_values[metric][implementation].push_back(value);
        if (!measurement.flag.empty()) {
            m_flags[metric][implementation].insert(measurement.flag);
        }
    }
}

bool Results::value(Metric metric, const std::string& implementation, double& result) const
{
    const auto row = m_values.find(metric);
    if (row == m_values.end()) {
        return false;
    }
    const auto cell = row->second.find(implementation);
    if (cell == row->second.end() || cell->second.empty()) {
        return false;
    }
    result = median(cell->second);
    return true;
}

std::string Results::flags(Metric metric, const std::string& implementation) const
{
    std::string text;
    const auto row = m_flags.find(metric);
    if (row != m_flags.end() && row->second.count(implementation) != 0) {
        for (const auto& flag : row->second.at(implementation)) {
            text += (text.empty() ? "" : ", ") + flag;
        }
    }
    return text;
}

std::vector<std::string> Results::columns() const
{
    std::vector<std::string> present;
    for (const auto& name : implementations()) {
        for (const auto& [metric, cells] : m_values) {
            if (cells.count(name) != 0) {
                present.push_back(name);
                break;
            }
        }
    }
    return present;
}

bool Results::bestPeer(const MetricInfo& info, std::string& peer, double& best) const
{
    bool found = false;
    for (const auto& name : columns()) {
        double v;
        if (name == HALVIX || !value(info.metric, name, v)) {
            continue;
        }
        if (!found || (info.higherIsBetter ? v > best : v < best)) {
            found = true;
            peer = name;
            best = v;
        }
    }
    return found;
}

namespace {

std::string format(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string cpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown CPU";
}

// The 1, 5 and 15 minute load averages, as uptime shows them: the table
// records how busy the machine was (other work on a shared machine moves
// every number, ratios least).
std::string loadAverage()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    return one.empty() ? "unknown" : one + ", " + five + ", " + fifteen;
}

std::string today()
{
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return text;
}

const MetricInfo& infoOf(Metric metric)
{
    for (const auto& info : metrics()) {
        if (info.metric == metric) {
            return info;
        }
    }
    return metrics().front();
}

// One line of the goals list: how halvix compares on `metric` with `peer`
// ("" = the best peer), and whether that meets `goal`, a ratio bound on
// halvix / peer (at least it for higher-is-better metrics, at most it else).
void goalLine(std::ostream& out, const Results& results, Metric metric, std::string peer, double goal,
              const std::string& goalText)
{
    const MetricInfo& info = infoOf(metric);
    double mine = 0, theirs = 0;
    const bool haveMine = results.value(metric, HALVIX, mine);
    const bool haveTheirs =
        peer.empty() ? results.bestPeer(info, peer, theirs) : results.value(metric, peer, theirs);
    out << "- " << info.label << " (" << goalText << "): ";
    if (!haveMine || !haveTheirs) {
        out << "not evaluated (" << (haveMine ? (peer.empty() ? "no peer" : peer) : HALVIX)
            << " not measured)\n";
        return;
    }
    const double ratio = theirs == 0 ? 0 : mine / theirs;
    const bool met = info.higherIsBetter ? ratio >= goal : mine <= theirs * goal;
    out << "halvix " << format(mine, info.decimals) << " vs " << peer << " " << format(theirs, info.decimals)
        << " " << info.unit << " = " << format(ratio, 2) << "x: **" << (met ? "met" : "NOT met") << "**\n";
}

}  // namespace

void printMarkdown(std::ostream& out, const Results& results, const std::vector<std::string>& notes)
{
    const auto columns = results.columns();
    out << "Machine: " << cpuCount() << " CPUs, " << cpuModel() << "; run " << today()
        << "; load average at the end " << loadAverage()
        << ". Medians of 3 repetitions, implementations interleaved in one process.\n\n";
    out << "| workload | unit | better |";
    for (const auto& name : columns) {
        out << " " << name << " |";
    }
    out << " best peer | halvix / best peer |\n|---|---|---|";
    for (size_t i = 0; i < columns.size(); ++i) {
        out << "---:|";
    }
    out << "---|---:|\n";
    for (const auto& info : metrics()) {
        double unused;
        bool measured = false;
        for (const auto& name : columns) {
            measured = measured || results.value(info.metric, name, unused);
        }
        if (!measured) {
            continue;
        }
        out << "| " << info.label << " | " << info.unit << " | " << (info.higherIsBetter ? "higher" : "lower")
            << " |";
        for (const auto& name : columns) {
            double v;
            std::string cell = results.value(info.metric, name, v) ? format(v, info.decimals) : "-";
            const std::string flags = results.flags(info.metric, name);
            if (!flags.empty()) {
                cell += " (" + flags + ")";
            }
            out << " " << cell << " |";
        }
        std::string peer;
        double best = 0, mine = 0;
        if (results.bestPeer(info, peer, best)) {
            out << " " << peer << " |";
            if (results.value(info.metric, HALVIX, mine) && best != 0) {
                out << " " << format(mine / best, 2) << "x |\n";
            } else {
                out << " - |\n";
            }
        } else {
            out << " - | - |\n";
        }
    }
    out << "\nRatios are halvix / best peer in the metric's own unit: above 1 is better for throughput, "
           "below 1 is better for times and costs. Only ratios within one run mean anything: the machine "
           "is shared and noisy.\n\n";

    out << "Where halvix stands:\n";
    goalLine(out, results, Metric::SpscThroughput, "", 1.0, "at least the best peer");
    goalLine(out, results, Metric::SpscThroughput, "", 2.0, "stretch: twice the best peer");
    goalLine(out, results, Metric::MpmcThroughput, "", 1.0, "at least the best peer");
    double unused = 0;
    if (results.value(Metric::MpmcThroughput, HALVIX, unused)) {
        const std::string mpmcFlags = results.flags(Metric::MpmcThroughput, HALVIX);
        out << "- MPMC nothing lost or duplicated: **"
            << (mpmcFlags.empty() ? "met" : "NOT met: " + mpmcFlags) << "**\n";
    }
    goalLine(out, results, Metric::PingPongMedian, "", 1.0, "no worse than the best peer");
    goalLine(out, results, Metric::PingPongP99, "", 1.5, "at most 1.5x the best peer");
    goalLine(out, results, Metric::PingPongPinnedMedian, "", 1.0, "no worse than the best peer");
    goalLine(out, results, Metric::DispatchMedian, "", 1.0, "no worse than the best peer");
    goalLine(out, results, Metric::SpscCpu, "", 1.5, "at most 1.5x the thriftiest peer");
    goalLine(out, results, Metric::PingPongCpu, "", 1.5, "at most 1.5x the thriftiest peer");
    goalLine(out, results, Metric::SpscOneCpu, "std ring", 1.0, "no worse than the ring");
    goalLine(out, results, Metric::PingPongOneCpuMedian, "std ring", 1.0, "no worse than the ring");
    goalLine(out, results, Metric::TimerLateMedian, "Boost.Asio", 1.0, "no worse than Boost.Asio");
    goalLine(out, results, Metric::TimerLateP99, "Boost.Asio", 1.0, "no worse than Boost.Asio");
    double early = 0;
    if (results.value(Metric::TimerEarly, HALVIX, early)) {
        out << "- halvix timer never early: **"
            << (early == 0 && results.flags(Metric::TimerEarly, HALVIX).empty() ? "met" : "NOT met")
            << "**\n";
    }

    out << "\nNotes:\n";
    for (const auto& note : notes) {
        out << "- " << note << "\n";
    }
}

void writeChartData(const std::string& path, const Results& results)
{
    std::ofstream out(path);
    const auto columns = results.columns();
    out << "metric";
    for (const auto& name : columns) {
        out << "\t\"" << name << "\"";
    }
    out << "\n";
    for (const auto& info : metrics()) {
        std::string peer;
        double best = 0;
        if (info.metric == Metric::TimerEarly || info.metric == Metric::IdleTimerThreads ||
            !results.bestPeer(info, peer, best)) {
            continue;  // counts, not speeds: they have no meaningful ratio
        }
        out << "\"" << info.label << "\"";
        for (const auto& name : columns) {
            double v;
            if (!results.value(info.metric, name, v)) {
                out << "\t-";
                continue;
            }
            // Costs near zero would make the ratio explode: floor them.
            const double floor = 0.01;
            const double score =
                info.higherIsBetter ? v / std::max(best, floor) : std::max(best, floor) / std::max(v, floor);
            out << "\t" << score;
        }
        out << "\n";
    }
}

}  // namespace compare
