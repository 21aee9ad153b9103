// halvix/os/os.h - the OS abstraction layer (namespace halvix::os).
#ifndef HALVIX_OS_OS_H
#define HALVIX_OS_OS_H

#include <halvix/os/osMutex.h>
#include <halvix/os/osQueue.h>
#include <halvix/os/osTask.h>
#include <halvix/os/osTimer.h>

#endif  // HALVIX_OS_OS_H
