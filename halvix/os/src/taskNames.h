// halvix/os/src/taskNames.h - tasks that show their names to the OS (internal).
#ifndef HALVIX_OS_SRC_TASKNAMES_H
#define HALVIX_OS_SRC_TASKNAMES_H

namespace halvix::os {

// Called by every created thread as it starts: hands `name` to the OS for
// the calling thread when osTaskShowNames is on; nothing otherwise.
void showNameToOs(const char* name);

}  // namespace halvix::os

#endif  // HALVIX_OS_SRC_TASKNAMES_H
