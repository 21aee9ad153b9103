#include <halvix/dbg/dbg.h>

#include "DbgTestSupport.h"

#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Mask = std::vector<std::string>;

TEST_F(DbgTest, MaskTextSplitsAtSeparatorRuns)
{
    _dbg_set_mask("");
    EXPECT_EQ(_dbg_mask, Mask{});
    const std::string separators = "+-|:;&^\"*_,!#~?<>$\\/ ";
    ASSERT_EQ(separators.size(), 21u);
    _dbg_set_mask(separators.c_str());
    EXPECT_EQ(_dbg_mask, Mask{});
    for (char separator : separators) {
        _dbg_set_mask((std::string("a") + separator + "b").c_str());
        EXPECT_EQ(_dbg_mask, (Mask{"a", "b"})) << separator;
    }
    _dbg_set_mask("my_domain");
    EXPECT_EQ(_dbg_mask, (Mask{"my", "domain"}));
    _dbg_set_mask(",,a,,b,,a, ");
    EXPECT_EQ(_dbg_mask, (Mask{"a", "b", "a"}));
    const std::string longest(254, 'd');
    _dbg_set_mask(longest.c_str());
    EXPECT_EQ(_dbg_mask, Mask{longest});
}

// Runs _dbg_init on `arguments`; returns what is left of them.
static std::vector<std::string> init(std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());
    _dbg_init(&argc, argv.data());
    EXPECT_EQ(argv[arguments.size()], nullptr) << "the terminating entry is not touched";
    return std::vector<std::string>(argv.begin(), argv.begin() + argc);
}

TEST_F(DbgTest, InitTakesTraceOptionsOffTheCommandLine)
{
    using Args = std::vector<std::string>;
    EXPECT_EQ(init({"prog", "-log", "-x", "-warn", "-debug=a+b"}), (Args{"prog", "-x"}));
    EXPECT_EQ(_dbg_level.load(), DBG_LEVEL_WARN);
    EXPECT_EQ(_dbg_mask, (Mask{"a", "b"}));

    EXPECT_EQ(init({"-Trace", "-tracex", "-debug", "trace", "-trace"}),
              (Args{"-Trace", "-tracex", "-debug", "trace"}));
    EXPECT_EQ(_dbg_level.load(), DBG_LEVEL_TRACE);
    EXPECT_EQ(_dbg_mask, Mask{"all"});

    EXPECT_EQ(init({"-debug=a", "-log", "-log", "-debug=b"}), Args{});
    EXPECT_EQ(_dbg_level.load(), DBG_LEVEL_LOG);
    EXPECT_EQ(_dbg_mask, Mask{"b"});

    EXPECT_EQ(init({"prog", "-debug="}), Args{"prog"});
    EXPECT_EQ(_dbg_mask, Mask{}) << "a bare -debug= empties the mask, no fall-back to all";

    EXPECT_EQ(init({}), Args{});
    EXPECT_EQ(_dbg_mask, Mask{"all"});
}

TEST_F(DbgTest, InitRefusesAnOverlongMaskWithANote)
{
    const std::string tooLong = "-debug=" + std::string(255, 'm');
    CaptureStderr();
    EXPECT_EQ(init({"prog", tooLong, "-trace"}), std::vector<std::string>{"prog"});
    EXPECT_EQ(_dbg_mask, Mask{"all"}) << "refused mask counts as no mask";
    EXPECT_EQ(_dbg_level.load(), DBG_LEVEL_TRACE);
    EXPECT_EQ(init({"-debug=a", tooLong}), std::vector<std::string>{});
    EXPECT_EQ(_dbg_mask, Mask{"a"}) << "the mask given before stays";
    const std::string notes = GetCapturedStderr();
    const std::string note = "dbg: \"-debug=\" option refused: its 255 characters exceed the limit of 254;"
                             " the domain mask is not changed by it\n";
    EXPECT_EQ(notes, note + note);
}
