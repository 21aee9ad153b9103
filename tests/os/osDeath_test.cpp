// The OS layer's preconditions: each broken one stops the process naming the call and the expression.
#include "halvix/os/osTimer.h"

#include "halvix/os/osQueue.h"
#include "osTestSupport.h"

#include <unistd.h>

#include <functional>

using namespace halvix::os;

namespace {

void* pauseForever(void*)
{
    for (;;) {
        pause();
    }
}

TEST(OsDeathTest, BrokenPreconditionsStopTheProcess)
{
    const std::string taskCreate =
        "void* halvix::os::osTaskCreate(halvix::os::osTaskEntry_t, halvix::os::osTaskOptions_t*, void*)";
    const std::string taskJoin = "void* halvix::os::osTaskJoin(halvix::os::osTask_t)";
    const struct
    {
        std::string signature;
        const char* expression;
        std::function<void()> provoke;
    } cases[] = {
        {"bool halvix::os::osConditionWait(halvix::os::osCondition_t, long int)", "numMs >= -1",
         [] { osConditionWait(osConditionCreate(osMutexCreate()), -2); }},
        {"void halvix::os::osMutexDestroy(halvix::os::osMutex_t)", "status == 0",
         [] {
             osMutex_t mutex = osMutexCreate();
             osMutexLock(mutex, false);
             osMutexDestroy(mutex);
         }},
        {"void* halvix::os::osQueueCreate(int)", "maxMessages > 0 || maxMessages==-1",
         [] { osQueueCreate(0); }},
        {"void* halvix::os::osQueueCreate(int)", "maxMessages > 0 || maxMessages==-1",
         [] { osQueueCreate(-2); }},
        {"bool halvix::os::osSemaphoreTake(halvix::os::osSemaphore_t, long int)", "lMsBeforeTimeout >= -1",
         [] { osSemaphoreTake(osSemaphoreCreate(1), -2); }},
        {taskCreate, "pTask->options.stacksize >= -1",
         [] {
             osTaskOptions_t options = joinableOptions(-2);
             osTaskCreate(pauseForever, &options, nullptr);
         }},
        {taskCreate, "(pTask->options.priority >= 1) && (pTask->options.priority <= osTaskGetMaxPriority())",
         [] {
             osSetSchedPolicy(osSchedPolicy_t{1, 0, 2});  // no privilege needed: the check comes first
             osTaskOptions_t options = joinableOptions(0, 100);
             osTaskCreate(pauseForever, &options, nullptr);
         }},
        {taskJoin, "pTask->options.joinable",
         [] { osTaskJoin(osTaskCreate(pauseForever, nullptr, nullptr)); }},
        {taskJoin, "osTaskSelf() != task",
         [] {
             osTaskOptions_t options = joinableOptions();
             osTaskJoin(osTaskCreate([](void*) { return osTaskJoin(osTaskSelf()); }, &options, nullptr));
         }},
        {"bool halvix::os::osSetSchedPolicy(halvix::os::osSchedPolicy_t)", "0",
         [] {
             osSetSchedPolicy(osSchedPolicy_t{7, 0, 1});
         }},
        {"void halvix::os::osTaskSetPriority(halvix::os::osTask_t, int)",
         "(priority >= 0) && (priority <= osTaskGetMaxPriority())",
         [] { osTaskSetPriority(osTaskSelf(), -1); }},
        {"void halvix::os::osTaskSleep(halvix::os::osTask_t, long int)", "numMs >= 0",
         [] { osTaskSleep(nullptr, -1); }},
        {"void halvix::os::osTimerStart(halvix::os::osTimer_t, long int)", "numMs >= 0",
         [] { osTimerStart(osTimerCreate([](void*) {}, nullptr), -1); }},
        {"void halvix::os::osTimerSetData(halvix::os::osTimer_t, void*)", "! (pTimer->running)",
         [] {
             osTimer_t timer = osTimerCreate([](void*) {}, nullptr);
             osTimerStart(timer, 60000);
             osTimerSetData(timer, &timer);
         }},
    };
    for (const auto& c : cases) {
        EXPECT_DEATH(c.provoke(), assertionPattern(c.signature, c.expression)) << c.expression;
    }
}

TEST(OsDeathTest, AssertionNamesTheSourceRelativeToTheSourceTreeNotTheBuildMachine)
{
    EXPECT_DEATH(osTaskSleep(nullptr, -1),
                 ": halvix/os/src/taskScheduling\\.cpp:[0-9]+: void halvix::os::osTaskSleep");
}

}  // namespace
