// Counting semaphores: one 64-bit word of count and sleepers, parked on
// futexes (semaphoreCore.h explains the word and why no wake-up is lost).
//
// Teardown: a give is one atomic add; when sleepers are registered it wakes
// one by the word's address, which the kernel only hashes. So a taker may
// destroy the semaphore the moment its take returned, while the giver of its
// unit is still on its way out, as POSIX allows for sem_destroy.
#include "halvix/os/osQueue.h"

#include "halvix/os/src/osCheck.h"
#include "halvix/os/src/semaphoreCore.h"

#include <cstdlib>
#include <new>

namespace halvix::os {
namespace {

typedef internal::SemaphoreCore<std::atomic, internal::FutexParking> Semaphore;

// One record per cache line, so that two semaphores given and taken on
// different CPUs (a timer's, a queue's) never share one.
constexpr size_t RECORD_ALIGNMENT = 64;
constexpr size_t RECORD_SIZE =
    (sizeof(Semaphore) + RECORD_ALIGNMENT - 1) / RECORD_ALIGNMENT * RECORD_ALIGNMENT;

constexpr char OS_SEMAPHORE_CREATE[] = "halvix::os::osSemaphore_t halvix::os::osSemaphoreCreate(long int)";
constexpr char OS_SEMAPHORE_TAKE[] = "bool halvix::os::osSemaphoreTake(halvix::os::osSemaphore_t, long int)";

Semaphore* recordOf(osSemaphore_t semaphore)
{
    return static_cast<Semaphore*>(semaphore);
}

}  // namespace

osSemaphore_t osSemaphoreCreate(long initialCount)
{
    void* memory = aligned_alloc(RECORD_ALIGNMENT, RECORD_SIZE);
    // Out of memory stops the process, as it does for the layer's mutexes.
    HALVIX_OS_ASSERT(memory != __null, OS_SEMAPHORE_CREATE);
    return new (memory) Semaphore(initialCount);
}

void osSemaphoreDestroy(osSemaphore_t semaphore)
{
    Semaphore* pSemaphore = recordOf(semaphore);
    pSemaphore->~Semaphore();
    free(pSemaphore);
}

bool osSemaphoreTake(osSemaphore_t semaphore, long lMsBeforeTimeout)
{
    HALVIX_OS_ASSERT(lMsBeforeTimeout >= -1, OS_SEMAPHORE_TAKE);
    bool slept = false;
    if (recordOf(semaphore)->take(lMsBeforeTimeout, slept)) {
        return true;
    }
    if (slept) {
        internal::traceWaitTimedOut();
    }
    return false;
}

void osSemaphoreGive(osSemaphore_t semaphore)
{
    recordOf(semaphore)->give();
}

}  // namespace halvix::os
