// halvix/task/src/ThreadTask.h - which Task runs on the calling thread (internal).
#ifndef HALVIX_TASK_SRC_THREADTASK_H
#define HALVIX_TASK_SRC_THREADTASK_H

namespace halvix::task {

class Task;

// Set by Task::staticGo for the life of the thread's run, null elsewhere.
// Lets a Task tell that it is called on its own thread (where the OS join
// would abort) without asking the OS layer, which would give threads the
// library did not create a task record.
extern thread_local Task* taskOfThisThread;

}  // namespace halvix::task

#endif  // HALVIX_TASK_SRC_THREADTASK_H
