// bench/common/Message.h - the messages the queue benchmarks hand over.
//
// A message is a pointer made from a counter, so producers never allocate and
// consumers can check what arrived by summing the values. Null is kept free
// for the "stop" message of the echo and worker threads.
#ifndef HALVIX_BENCH_COMMON_MESSAGE_H
#define HALVIX_BENCH_COMMON_MESSAGE_H

#include <cstdint>

namespace bench {

inline void* messageOf(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

inline uintptr_t valueOf(void* message)
{
    return reinterpret_cast<uintptr_t>(message);
}

}  // namespace bench

#endif  // HALVIX_BENCH_COMMON_MESSAGE_H
