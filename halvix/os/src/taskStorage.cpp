// Thread-specific task records: the storage key and its use count, the
// records of threads the library did not create, and each thread's last error.
#include "halvix/os/src/taskRecord.h"

#include <new>

namespace halvix::os {

namespace {

pthread_mutex_t taskStorageMutex = PTHREAD_MUTEX_INITIALIZER;
// Written only while taskStorageUseCount is 0, under taskStorageMutex. A
// thread that reads it without the lock holds a counted use (its own record,
// or the pin below), so the key cannot change under it.
pthread_key_t taskStorageKey;
uint32_t taskStorageUseCount = 0;  // guarded by taskStorageMutex
// Last error of a thread that can get no record; relaxed, a lone word.
std::atomic<uint32_t> fallbackLastError{0};

pthread_once_t taskStoragePinOnce = PTHREAD_ONCE_INIT;

// osTaskSelf must find the key in place without counting a use on every call:
// a 32-bit count that wrapped to 0 would have the key created anew and every
// thread's record lost. So the first osTaskSelf or osTaskAttach of the process
// counts one use that is never given back. From then on the key is never
// deleted, and any thread may read it without the lock. A thread without a
// record would otherwise read a key that a task's release may delete at that
// very moment. Attached records pin the key the same way, so the pin costs
// nothing a process that looks up its records would not pay anyway.
void pinTaskStorage()
{
    _initTaskStorage();
}

osPosixTask_t* currentRecord()
{
    return static_cast<osPosixTask_t*>(osTaskSelf());
}

}  // namespace

void _initTaskStorage()
{
    int status = pthread_mutex_lock(&taskStorageMutex);
    HALVIX_OS_CHECK(status, __PRETTY_FUNCTION__);
    if (taskStorageUseCount == 0) {
        status = pthread_key_create(&taskStorageKey, nullptr);
        HALVIX_OS_CHECK(status, __PRETTY_FUNCTION__);
    }
    ++taskStorageUseCount;
    status = pthread_mutex_unlock(&taskStorageMutex);
    HALVIX_OS_CHECK(status, __PRETTY_FUNCTION__);
}

int releaseTaskStorage(osPosixTask_t* pTask)
{
    int status = pthread_mutex_lock(&taskStorageMutex);
    if (status != 0) {
        return status;
    }
    status = pthread_attr_destroy(&pTask->attributes);
    if (status == 0 && --taskStorageUseCount == 0) {
        status = pthread_key_delete(taskStorageKey);
    }
    const int unlockStatus = pthread_mutex_unlock(&taskStorageMutex);
    return status != 0 ? status : unlockStatus;
}

int bindTaskRecord(osPosixTask_t* pTask)
{
    return pthread_setspecific(taskStorageKey, pTask);
}

void* osTaskSelf()
{
    pthread_once(&taskStoragePinOnce, pinTaskStorage);
    void* pTask = pthread_getspecific(taskStorageKey);
    return pTask != nullptr ? pTask : osTaskAttach();
}

void* osTaskAttach()
{
    pthread_once(&taskStoragePinOnce, pinTaskStorage);
    void* existing = pthread_getspecific(taskStorageKey);
    if (existing != nullptr) {
        return existing;
    }
    // Counted once and never given back: the key outlives every attached
    // thread, whether or not it detaches.
    _initTaskStorage();
    osPosixTask_t* pTask = new (std::nothrow) osPosixTask_t();
    HALVIX_ASSERT(pTask != __null);
    int status = bindTaskRecord(pTask);
    HALVIX_OS_CHECK(status, __PRETTY_FUNCTION__);
    return pTask;
}

void osTaskDetach()
{
    osPosixTask_t* pTask = currentRecord();
    int status = bindTaskRecord(nullptr);
    HALVIX_OS_CHECK(status, __PRETTY_FUNCTION__);
    delete pTask;
}

unsigned int osGetLastError()
{
    osPosixTask_t* pTask = currentRecord();
    if (pTask == nullptr) {
        return fallbackLastError.exchange(0, std::memory_order_relaxed);
    }
    const unsigned int code = pTask->lastError;
    pTask->lastError = 0;
    return code;
}

void osSetLastError(unsigned int code)
{
    osPosixTask_t* pTask = currentRecord();
    if (pTask == nullptr) {
        fallbackLastError.store(code, std::memory_order_relaxed);
        return;
    }
    pTask->lastError = code;
}

bool osIsError()
{
    osPosixTask_t* pTask = currentRecord();
    if (pTask == nullptr) {
        return fallbackLastError.load(std::memory_order_relaxed) != 0;
    }
    return pTask->lastError != 0;
}

}  // namespace halvix::os
