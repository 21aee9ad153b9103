// Task priorities and scheduling policy, the sleep of the calling thread and
// the interrupt-context query.
#include "halvix/os/osQueue.h"
#include "halvix/os/src/taskRecord.h"

#include <sched.h>

namespace halvix::os {

std::atomic<int32_t> taskPolicy{SCHED_OTHER};

namespace {

// Signature texts of the assertions (see osCheck.h).
constexpr char OS_TASK_SET_PRIORITY[] = "void halvix::os::osTaskSetPriority(halvix::os::osTask_t, int)";
constexpr char OS_SET_SCHED_POLICY[] = "bool halvix::os::osSetSchedPolicy(halvix::os::osSchedPolicy_t)";
constexpr char OS_TASK_SLEEP[] = "void halvix::os::osTaskSleep(halvix::os::osTask_t, long int)";

// Policy codes of osSchedPolicy_t: 1 SCHED_OTHER, 2 SCHED_FIFO, 3 SCHED_RR.
bool toPosixPolicy(int32_t code, int* policy)
{
    switch (code) {
    case 1:
        *policy = SCHED_OTHER;
        return true;
    case 2:
        *policy = SCHED_FIFO;
        return true;
    case 3:
        *policy = SCHED_RR;
        return true;
    default:
        return false;
    }
}

// An attached record has no entry function, and no creation attributes.
// (Its thread id is zero too, but so is a created task's until its thread
// starts, after osTaskCreate has set the priority.)
bool isAttached(const osPosixTask_t* pTask)
{
    return pTask->entry == nullptr;
}

}  // namespace

int osTaskGetMaxPriority()
{
    const int policy = taskPolicy.load(std::memory_order_relaxed);
    const int maximum = sched_get_priority_max(policy);
    if (maximum <= 0) {
        return 0;
    }
    return maximum - sched_get_priority_min(policy) + 1;
}

void osTaskSetPriority(osTask_t task, int priority)
{
    osPosixTask_t* pTask = static_cast<osPosixTask_t*>(task);
    DBG_LOG("dbg", "Requested priority %d\n", priority);
    HALVIX_OS_ASSERT((priority >= 0) && (priority <= osTaskGetMaxPriority()), OS_TASK_SET_PRIORITY);

    struct sched_param param = {};
    if (isRealTimePolicy(pTask->policy)) {
        // 0 stands for the lowest priority, as in osTaskCreate: mapped as it
        // is, it would fall one below the policy's POSIX minimum, which the
        // platform refuses, and the next thread creation would stop the
        // process.
        if (priority == 0) {
            priority = 1;
        }
        pTask->options.priority = priority;
        param.sched_priority = priority + sched_get_priority_min(pTask->policy) - 1;
        DBG_LOG("dbg", "Actual posix priority is %d\n", param.sched_priority);
    } else {
        pTask->options.priority = 0;
    }
    if (isAttached(pTask)) {
        return;  // an attached record has no creation attributes to carry it
    }
    int status = pthread_attr_setschedparam(&pTask->attributes, &param);
    HALVIX_OS_CHECK(status, OS_TASK_SET_PRIORITY);
}

int osTaskGetPriority(osTask_t task)
{
    osPosixTask_t* pTask = static_cast<osPosixTask_t*>(task);
    struct sched_param param = {};
    if (!isAttached(pTask) && pthread_attr_getschedparam(&pTask->attributes, &param) == 0) {
        DBG_LOG("dbg", "Actual priority is %d\n", param.sched_priority);
    } else {
        DBG_LOG("dbg", "Simulated priority only\n");
    }
    return pTask->options.priority;
}

bool osSetSchedPolicy(osSchedPolicy_t policy)
{
    int threadPolicy = SCHED_OTHER;
    if (!toPosixPolicy(policy.policy, &threadPolicy)) {
        HALVIX_OS_ASSERT(0, OS_SET_SCHED_POLICY);
    }
    struct sched_param param = {};
    param.sched_priority = isRealTimePolicy(threadPolicy) ? policy.priority : 0;
    const int retCode = pthread_setschedparam(pthread_self(), threadPolicy, &param);
    HALVIX_OS_ASSERT(retCode == 0, OS_SET_SCHED_POLICY);

    int newTaskPolicy = SCHED_OTHER;
    if (!toPosixPolicy(policy.taskPolicy, &newTaskPolicy)) {
        HALVIX_OS_ASSERT(0, OS_SET_SCHED_POLICY);
    }
    taskPolicy.store(newTaskPolicy, std::memory_order_relaxed);
    return true;
}

void osTaskSleep(osTask_t /*task*/, long numMs)
{
    HALVIX_OS_ASSERT(numMs >= 0, OS_TASK_SLEEP);
    __thread_safe_sleep(numMs);
}

int osTaskIsInInterruptContext()
{
    return -1;
}

}  // namespace halvix::os
