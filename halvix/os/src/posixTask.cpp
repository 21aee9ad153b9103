// Task life cycle: creation on a POSIX thread, the start routine that every
// created thread runs, join, destroy and the task's options.
#include "halvix/os/src/taskNames.h"
#include "halvix/os/src/taskRecord.h"

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace halvix::os {

namespace {

// Signature texts of the assertions (see osCheck.h).
constexpr char OS_TASK_CREATE[] =
    "void* halvix::os::osTaskCreate(halvix::os::osTaskEntry_t, halvix::os::osTaskOptions_t*, void*)";
constexpr char OS_TASK_JOIN[] = "void* halvix::os::osTaskJoin(halvix::os::osTask_t)";
constexpr char OS_TASK_DESTROY[] = "void halvix::os::osTaskDestroy(halvix::os::osTask_t)";

// The bounds of the calling thread's stack, taken while the thread starts,
// for forgetAbandonedFrames (AddressSanitizer builds only).
struct ThreadStack
{
    char* low = nullptr;
    size_t size = 0;
};

#if defined(__SANITIZE_ADDRESS__)
ThreadStack stackOfThisThread()
{
    ThreadStack stack;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        if (pthread_attr_getstack(&attributes, &low, &stack.size) == 0) {
            stack.low = static_cast<char*>(low);
        }
        pthread_attr_destroy(&attributes);
    }
    return stack;
}
#endif

// Cleanup of a thread that a cancellation ends inside its entry. The unwind
// skips the epilogues of the abandoned frames; under AddressSanitizer their
// scope markers stay on the stack, and whatever runs below them afterwards
// (this handler's callees, the thread's exit) looks like a stack fault, the
// sanitizer's own bookkeeping of a no-return call included. So the whole
// stack is cleared of markers first, without instrumentation of this
// function's own frame; the frames still live merely lose their guards. Nothing
// to do otherwise.
__attribute__((no_sanitize_address)) void forgetAbandonedFrames(void* stack)
{
#if defined(__SANITIZE_ADDRESS__)
    const ThreadStack* bounds = static_cast<const ThreadStack*>(stack);
    if (bounds->low != nullptr) {
        __asan_unpoison_memory_region(bounds->low, bounds->size);
    }
    __asan_handle_no_return();
#else
    (void)stack;
#endif
}

}  // namespace

// The start routine of every created thread (internal linkage; the name is
// the one its traces show).
static void* taskTrampolin(void* hTask)
{
    osPosixTask_t* pTask = static_cast<osPosixTask_t*>(hTask);
    DBG_LOG("dbg", "In task trampoin. hTask at %p\n", hTask);
    DBG_LOG("dbg", "pOptions->reserved is %p\n", pTask->options.reserved);

    int status = bindTaskRecord(pTask);
    HALVIX_OS_TRACE_REFUSAL();
    status = pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    HALVIX_OS_TRACE_REFUSAL();
    // osTaskDestroy ends a detached task wherever it is: asynchronous by design.
    // NOLINTNEXTLINE(concurrency-thread-canceltype-asynchronous)
    status = pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    HALVIX_OS_TRACE_REFUSAL();
    showNameToOs(pTask->options.name);

    void* result = nullptr;
#if defined(__SANITIZE_ADDRESS__)
    const ThreadStack stack = stackOfThisThread();
#else
    const ThreadStack stack;
#endif
    pthread_cleanup_push(forgetAbandonedFrames, const_cast<ThreadStack*>(&stack));
    result = pTask->entry(pTask->arg);
    pthread_cleanup_pop(0);

    // The entry has returned: from here on the thread only tidies up, and a
    // late cancel request must not kill it while it holds the storage lock,
    // which would block every later task creation.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    if (pTask->options.persistent) {
        // The record belongs to osTaskJoin and osTaskDestroy now; the thread
        // touches it no more.
        return result;
    }
    status = releaseTaskStorage(pTask);
    HALVIX_OS_CHECK(status, __PRETTY_FUNCTION__);
    delete pTask;
    return result;
}

namespace {

// Fills the record's creation attributes; 0 or the first refusal's code.
// `stackRequested`: the caller asked for a stack size (the normalised value in
// the options does not tell a request of 0 from one of 131072).
int prepareAttributes(osPosixTask_t* pTask, bool stackRequested)
{
    pthread_attr_t* attributes = &pTask->attributes;
    int status = pthread_attr_init(attributes);
    if (status == 0 && !pTask->options.joinable) {
        status = pthread_attr_setdetachstate(attributes, PTHREAD_CREATE_DETACHED);
    }
    if (status == 0) {
        // The task's own policy and priority, not the creator's.
        status = pthread_attr_setinheritsched(attributes, PTHREAD_EXPLICIT_SCHED);
    }
    if (status == 0) {
        status = pthread_attr_setschedpolicy(attributes, pTask->policy);
    }
    if (status == 0) {
        status = pthread_attr_setscope(attributes, PTHREAD_SCOPE_SYSTEM);
    }
    if (status == 0 && stackRequested) {
        // A request is usable stack (at least 131072 bytes): the thread is
        // given that much on top of the static TLS, which glibc places at
        // the top of its stack. A service with many threads pays for what it
        // asked for, however much thread_local data the program has.
        status = pthread_attr_setstacksize(attributes, threadStackSize(pTask->options.stacksize));
    }
    // Without a request the thread gets the platform's default stack (the
    // default thread attributes, which glibc takes from RLIMIT_STACK): an
    // application thread does not know how deep it will recurse, and the
    // default is what its other threads get. Only touched pages cost memory.
    return status;
}

}  // namespace

void* osTaskCreate(osTaskEntry_t entry, osTaskOptions_t* options, void* arg)
{
    osPosixTask_t* pTask = new (std::nothrow) osPosixTask_t();
    HALVIX_OS_ASSERT(pTask != __null, OS_TASK_CREATE);
    pTask->joined.store(false, std::memory_order_relaxed);
    pTask->entry = entry;
    pTask->arg = arg;
    pTask->policy = taskPolicy.load(std::memory_order_relaxed);
    if (options != nullptr) {
        pTask->options = *options;
    }

    HALVIX_OS_ASSERT(pTask->options.stacksize >= -1, OS_TASK_CREATE);
    const bool stackRequested = pTask->options.stacksize > 0;
    if (isRealTimePolicy(pTask->policy)) {
        if (pTask->options.priority == 0) {
            pTask->options.priority = 1;  // 0 stands for the lowest priority
        }
        HALVIX_OS_ASSERT((pTask->options.priority >= 1) &&
                             (pTask->options.priority <= osTaskGetMaxPriority()),
                         OS_TASK_CREATE);
    } else {
        pTask->options.priority = 0;
    }
    if (pTask->options.stacksize < minimumTaskStackSize) {
        pTask->options.stacksize = minimumTaskStackSize;
    }
    if (pTask->options.joinable) {
        pTask->options.persistent = 1;
    }

    _initTaskStorage();
    int status = prepareAttributes(pTask, stackRequested);
    HALVIX_OS_CHECK(status, OS_TASK_CREATE);
    osTaskSetPriority(pTask, pTask->options.priority);

    DBG_LOG("dbg", "Spawning task. Task object at %p\n", static_cast<void*>(pTask));
    // A detached thread may end and free its record at once: after this call
    // the record is not touched here again.
    status = pthread_create(&pTask->thread, &pTask->attributes, taskTrampolin, pTask);
    HALVIX_OS_CHECK(status, OS_TASK_CREATE);
    return pTask;
}

void* osTaskJoin(osTask_t task)
{
    osPosixTask_t* pTask = static_cast<osPosixTask_t*>(task);
    if (pTask->joined.load(std::memory_order_acquire)) {
        return nullptr;
    }
    HALVIX_OS_ASSERT(pTask->options.joinable, OS_TASK_JOIN);
    HALVIX_OS_ASSERT(osTaskSelf() != task, OS_TASK_JOIN);

    void* result = nullptr;
    int status = pthread_join(pTask->thread, &result);
    if (status != 0) {
        DBG_LOG("dbg", "pthread error %d\n", status);
        HALVIX_OS_ASSERT((status == 0) || (status == 3), OS_TASK_JOIN);
        result = nullptr;  // the thread was gone already
    }
    pTask->joined.store(true, std::memory_order_release);
    return result;
}

void osTaskDestroy(osTask_t task)
{
    osPosixTask_t* pTask = static_cast<osPosixTask_t*>(task);
    int status = 0;
    if (pTask->options.joinable) {
        osTaskJoin(task);
    } else {
        // The thread is still inside its entry (a detached task's handle is
        // valid only then); asynchronous cancellation ends it at once, and
        // its trampoline releases nothing.
        status = pthread_cancel(pTask->thread);
        HALVIX_OS_CHECK(status, OS_TASK_DESTROY);
    }
    status = releaseTaskStorage(pTask);
    HALVIX_OS_CHECK(status, OS_TASK_DESTROY);
    delete pTask;
}

osTaskOptions_t* osTaskGetOptions(osTask_t task)
{
    return &static_cast<osPosixTask_t*>(task)->options;
}

}  // namespace halvix::os
