// Strategies: routing to the default and the interested members, output, allocation failure.
#include <halvix/strategy/Strategy.h>

#include "common/FailingAllocation.h"

#include <halvix/singleton/SingletonT.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace {

using halvix::strategy::Strategy;
using halvix::strategy::StrategyT;

struct Note
{
    std::vector<std::string> handledBy;
};

// A strategy that records which strategies handled a note, in order.
class Recorder : public StrategyT<Note>
{
public:
    Recorder(const std::string& noteType, const std::string& strategyName, bool isDefault, bool wants = true)
        : StrategyT<Note>(noteType, strategyName, isDefault), interested(wants)
    {
    }
    bool isInterested(const Note&) const override { return interested; }
    void processClientObject(Note& note) override { note.handledBy.push_back(getName()); }

private:
    bool interested;
};

// A strategy of another client class.
class OtherClient : public StrategyT<int>
{
public:
    explicit OtherClient(const std::string& clientType) : StrategyT<int>(clientType, "other", false) {}
    bool isInterested(const int&) const override { return true; }
    void processClientObject(int& value) override { ++value; }
};

std::vector<std::string> route(const std::string& type)
{
    Note note;
    StrategyT<Note>::invokeStrategies(type, note);
    return note.handledBy;
}

using Names = std::vector<std::string>;

TEST(StrategyRouting, DefaultServesOnlyWhileTheListIsEmpty)
{
    EXPECT_EQ(route("never-registered"), Names{});

    Recorder defaultStrategy("routing", "default", true, /*interested=*/false);
    EXPECT_EQ(route("routing"), Names{"default"});  // not asked isInterested
    {
        Recorder uninterested("routing", "quiet", false, /*interested=*/false);
        EXPECT_EQ(route("routing"), Names{});  // the default stays silent
    }
    EXPECT_EQ(route("routing"), Names{"default"});
}

TEST(StrategyRouting, EveryInterestedStrategyRunsInConstructionOrder)
{
    Recorder first("order", "first", false);
    Recorder skipped("order", "skipped", false, /*interested=*/false);
    Recorder second("order", "second", false);
    OtherClient other("order");
    EXPECT_EQ(route("order"), (Names{"first", "second"}));

    int value = 0;
    StrategyT<int>::invokeStrategies("order", value);
    EXPECT_EQ(value, 1);  // the Note strategies are skipped for an int
}

TEST(StrategyRouting, ReplacedAndDestroyedDefaults)
{
    auto* replaced = new Recorder("defaults", "old", true);
    Recorder current("defaults", "new", true);
    EXPECT_EQ(route("defaults"), Names{"new"});
    delete replaced;  // no longer the default: the registry is unchanged
    EXPECT_EQ(route("defaults"), Names{"new"});

    auto* onlyDefault = new Recorder("orphan", "alone", true);
    delete onlyDefault;
    EXPECT_EQ(route("orphan"), Names{});
}

std::string sectionOf(const std::string& type)
{
    std::ostringstream os;
    Strategy::outputStrategyTypes(os);
    const std::string text = os.str();
    EXPECT_EQ(text.rfind("*** Current strategies are:\n", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 10), "... Done.\n");
    const std::string start = "---------------- " + type + " ...\n";
    const std::string end = ".. end of " + type + "\n";
    const auto from = text.find(start);
    const auto to = text.find(end, from);
    if (from == std::string::npos || to == std::string::npos) {
        return "";
    }
    return text.substr(from, to + end.size() - from);
}

TEST(StrategyOutput, PrintsDefaultThenListEachFollowedByAnEmptyLine)
{
    Recorder defaultStrategy("printed", "the default", true);
    Recorder member("printed", "a member", false);
    EXPECT_EQ(sectionOf("printed"), "---------------- printed ...\n"
                                    "Default strategy: \n"
                                    "Type = 'printed'\n"
                                    "Name = 'the default'\n"
                                    "\n"
                                    "Type = 'printed'\n"
                                    "Name = 'a member'\n"
                                    "\n"
                                    ".. end of printed\n");
}

TEST(StrategyOutput, TypeOutlivesItsStrategiesAndShowsNone)
{
    {
        Recorder gone("emptied", "gone", true);
    }
    EXPECT_EQ(sectionOf("emptied"), "---------------- emptied ...\n"
                                    "Default strategy: \n"
                                    "None\n"
                                    "\n"
                                    ".. end of emptied\n");
}

TEST(StrategyRegistry, AllocationFailureWhileEnteringATypeLeavesNoNullRecordBehind)
{
    using Registry = std::map<std::string, Strategy::StrategyCollectionInfo*>;
    const Registry& types = *halvix::singleton::SingletonT<Registry>::getInstancePtr();
    // Long enough that copying the type string allocates too.
    for (const bool isDefault : {false, true}) {
        const std::string type = isDefault ? "entered whole as a default" : "entered whole as a member";
        std::unique_ptr<Recorder> recorder;
        // Fail the first allocation, then the second, ... until one is built.
        for (int allowed = 0; recorder == nullptr; ++allowed) {
            try {
                halvix::test::FailingAllocations failing(allowed);
                recorder = std::make_unique<Recorder>(type, "r", isDefault);
            } catch (const std::bad_alloc&) {
                ASSERT_EQ(types.count(type), 0u) << "after " << allowed << " allocations";
                EXPECT_EQ(sectionOf(type), "");
            }
        }
        EXPECT_EQ(route(type), Names{"r"});
    }
}

}  // namespace
