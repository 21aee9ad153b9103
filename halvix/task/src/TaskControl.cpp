#include "halvix/task/TaskControl.h"

namespace halvix::task {

TaskControl::~TaskControl() = default;

}  // namespace halvix::task
