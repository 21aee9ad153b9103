// Helpers for the observe tests: parsed snapshots and files, entries by name.
#ifndef HALVIX_TESTS_OBSERVE_OBSERVETESTSUPPORT_H
#define HALVIX_TESTS_OBSERVE_OBSERVETESTSUPPORT_H

#include <halvix/observe/Observe.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace halvix::test {

using Json = nlohmann::json;

inline Json snapshot()
{
    return Json::parse(observe::snapshotJson());
}

// The entry of `list` ("tasks", "queues") whose "name" is `name`, or null.
inline Json entryNamed(const Json& snap, const char* list, const std::string& name)
{
    for (const Json& entry : snap.at(list)) {
        if (entry.at("name") == name) {
            return entry;
        }
    }
    return Json();
}

inline Json timerWithId(const Json& snap, unsigned int id)
{
    for (const Json& entry : snap.at("timers")) {
        if (entry.at("id") == id) {
            return entry;
        }
    }
    return Json();
}

inline std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A path under the test's temporary directory, unique to the process.
inline std::string scratchPath(const std::string& name)
{
    return testing::TempDir() + "halvix-observe-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace halvix::test

#endif  // HALVIX_TESTS_OBSERVE_OBSERVETESTSUPPORT_H
