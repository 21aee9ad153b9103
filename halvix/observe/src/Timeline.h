// halvix/observe/src/Timeline.h - the recording functions of the timeline (internal).
#ifndef HALVIX_OBSERVE_SRC_TIMELINE_H
#define HALVIX_OBSERVE_SRC_TIMELINE_H

#include <cstdint>
#include <string>

namespace halvix::observe::timeline {

// The hooks of halvix/src/ObserverHooks.h while a timeline is recorded. Each
// returns at once when no recording is under way.
void queueWaited(const char* queueName, int64_t begin, int64_t end);
void macroRan(const std::string& laneName, const char* macroName, int64_t begin, int64_t end, int status);
void timerDelivered(unsigned int timerId, int64_t lateNs);

}  // namespace halvix::observe::timeline

#endif  // HALVIX_OBSERVE_SRC_TIMELINE_H
