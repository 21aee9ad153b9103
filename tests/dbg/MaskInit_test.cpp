// The domain mask's text rules and the trace options _dbg_init takes off the command line.
#include <halvix/dbg/dbg.h>

#include "DbgTestSupport.h"

TEST_F(Dbg, MaskTextSplitsAtSeparatorRuns)
{
    _dbg_set_mask("");
    EXPECT_EQ(_dbg_mask, Strings{});
    const std::string separators = "+-|:;&^\"*_,!#~?<>$\\/ ";
    ASSERT_EQ(separators.size(), 21u);
    _dbg_set_mask(separators.c_str());
    EXPECT_EQ(_dbg_mask, Strings{});
    for (char separator : separators) {
        _dbg_set_mask((std::string("a") + separator + "b").c_str());
        EXPECT_EQ(_dbg_mask, (Strings{"a", "b"})) << separator;
    }
    _dbg_set_mask("my_domain");
    EXPECT_EQ(_dbg_mask, (Strings{"my", "domain"}));
    _dbg_set_mask(",,a,,b,,a, ");
    EXPECT_EQ(_dbg_mask, (Strings{"a", "b", "a"}));
    const std::string longest(254, 'd');
    _dbg_set_mask(longest.c_str());
    EXPECT_EQ(_dbg_mask, Strings{longest});
}

// Runs _dbg_init on `arguments`; returns what is left of them.
static Strings init(Strings arguments)
{
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());
    _dbg_init(&argc, argv.data());
    EXPECT_EQ(argv[arguments.size()], nullptr) << "the terminating entry is not touched";
    return Strings(argv.begin(), argv.begin() + argc);
}

TEST_F(Dbg, InitTakesTraceOptionsOffTheCommandLineAndRefusesAnOverlongMask)
{
    auto expectInit = [](Strings arguments, const Strings& left, _dbgLevel_t level, const Strings& mask) {
        EXPECT_EQ(init(std::move(arguments)), left);
        EXPECT_EQ(_dbg_level.load(), level);
        EXPECT_EQ(_dbg_mask, mask);
    };
    expectInit({"prog", "-log", "-x", "-warn", "-debug=a+b"}, {"prog", "-x"}, DBG_LEVEL_WARN, {"a", "b"});
    expectInit({"-Trace", "-tracex", "-debug", "trace", "-trace"}, {"-Trace", "-tracex", "-debug", "trace"},
               DBG_LEVEL_TRACE, {"all"});
    expectInit({"-debug=a", "-log", "-log", "-debug=b"}, {}, DBG_LEVEL_LOG, {"b"});
    expectInit({"prog", "-debug="}, {"prog"}, DBG_LEVEL_WARN, {});  // empty: no fall-back to "all"
    expectInit({}, {}, DBG_LEVEL_WARN, {"all"});

    // An overlong mask is refused with a note: no mask, or the one given before.
    const std::string tooLong = "-debug=" + std::string(255, 'm');
    CaptureStderr();
    expectInit({"prog", tooLong, "-trace"}, {"prog"}, DBG_LEVEL_TRACE, {"all"});
    expectInit({"-debug=a", tooLong}, {}, DBG_LEVEL_WARN, {"a"});
    const std::string notes = GetCapturedStderr();
    const std::string note = "dbg: \"-debug=\" option refused: its 255 characters exceed the limit of 254;"
                             " the domain mask is not changed by it\n";
    EXPECT_EQ(notes, note + note);
}
