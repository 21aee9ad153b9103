// halvix/task/src/TaskCollection.h - the registry of Tasks by name (internal).
#ifndef HALVIX_TASK_SRC_TASKCOLLECTION_H
#define HALVIX_TASK_SRC_TASKCOLLECTION_H

#include "halvix/task/Task.h"

#include <map>
#include <mutex>
#include <string>

namespace halvix::task::collection {

using Map = std::map<std::string, Task*>;

// The Task Collection, locked for the caller's scope. The map owns no Task.
// Tasks look themselves up from their own threads (getTaskPtr("")) while
// others are built or destroyed elsewhere, so the map carries a lock of its
// own. Never report an error while holding it: a strategy may look Tasks up.
class Locked
{
public:
    Locked();
    Map& map() { return entries; }

private:
    std::lock_guard<std::mutex> lock;
    Map& entries;
};

}  // namespace halvix::task::collection

#endif  // HALVIX_TASK_SRC_TASKCOLLECTION_H
