// Test support: records every Error routed through the "Error" strategies
// while it is alive. Being a member of the type's list, it also silences the
// default strategy, so tests that provoke errors keep their output short.
#ifndef HALVIX_TESTS_COMMON_ERRORRECORDER_H
#define HALVIX_TESTS_COMMON_ERRORRECORDER_H

#include <halvix/error/Error.h>
#include <halvix/strategy/Strategy.h>

#include <mutex>
#include <string>
#include <vector>

namespace halvix::test {

using Lines = std::vector<std::string>;

class ErrorRecorder : public strategy::StrategyT<error::Error>
{
public:
    struct Entry
    {
        std::string name;
        error::Error::Severity severity;
        std::string function;  // from the "Generated from file/line/function:" line
        std::string message;   // the text after the two header lines
    };

    ErrorRecorder() : StrategyT<error::Error>(error::Error::STRATEGY_TYPE, "ErrorRecorder", false) {}

    bool isInterested(const error::Error&) const override { return true; }

    // Errors are reported on whichever thread failed.
    void processClientObject(error::Error& error) override
    {
        const std::string text = error.getStream().str();
        const auto firstEnd = text.find('\n');
        const auto secondEnd = text.find('\n', firstEnd + 1);
        std::string origin = text.substr(firstEnd + 1, secondEnd - firstEnd - 2);  // without the ':'
        Entry entry{error.getName(), error.getSeverity(), origin.substr(origin.rfind('/') + 1),
                    secondEnd == std::string::npos ? "" : text.substr(secondEnd + 1)};
        std::lock_guard<std::mutex> lock(mutex);
        recorded.push_back(entry);
    }

    std::vector<Entry> entries() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }

    std::vector<std::string> messages() const
    {
        std::vector<std::string> texts;
        for (const Entry& entry : entries()) {
            texts.push_back(entry.message);
        }
        return texts;
    }

    // Each report as "Name/SEVERITY/function: message", so a test compares
    // everything that was reported in one expectation.
    std::vector<std::string> reports() const
    {
        std::vector<std::string> lines;
        for (const Entry& entry : entries()) {
            lines.push_back(entry.name + "/" + error::Error::severityToString(entry.severity) + "/" +
                            entry.function + ": " + entry.message);
        }
        return lines;
    }

private:
    mutable std::mutex mutex;
    std::vector<Entry> recorded;  // guarded by mutex
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_COMMON_ERRORRECORDER_H
