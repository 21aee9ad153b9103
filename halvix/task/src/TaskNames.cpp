// Task's error-type names, built first and never destroyed
// (halvix/src/NeverDestroyed.h says why). Task.h declares them as
// `static const std::string` members and is not included here.
#include "halvix/src/NeverDestroyed.h"

#include <string>

namespace halvix::task::names {

HALVIX_NEVER_DESTROYED(std::string, taskError, "_ZN6halvix4task4Task10TASK_ERROR" HALVIX_CXX11_TAG "E",
                       "TaskError");
HALVIX_NEVER_DESTROYED(std::string, wrongStateError,
                       "_ZN6halvix4task4Task17WRONG_STATE_ERROR" HALVIX_CXX11_TAG "E", "WrongTaskState");

}  // namespace halvix::task::names
