// halvix/task/src/TaskCollection.h - the registry of Tasks by name (internal).
#ifndef HALVIX_TASK_SRC_TASKCOLLECTION_H
#define HALVIX_TASK_SRC_TASKCOLLECTION_H

#include "halvix/src/LockedRegistry.h"
#include "halvix/task/Task.h"

#include <map>
#include <string>

namespace halvix::task::collection {

// A type of its own, hidden: SingletonT<Map> takes the visibility of its
// argument, so the registry's instance stays inside the shared object and an
// application cannot reach it without the registry's lock.
struct HALVIX_INTERNAL Map : std::map<std::string, Task*>
{
};

// The Task Collection, locked for the caller's scope. The map owns no Task.
using Locked = singleton::LockedRegistry<Map>;

}  // namespace halvix::task::collection

#endif  // HALVIX_TASK_SRC_TASKCOLLECTION_H
