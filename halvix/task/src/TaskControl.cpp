// TaskControl: anchors the interface's virtual table in the library.
#include "halvix/task/TaskControl.h"

namespace halvix::task {

TaskControl::~TaskControl() = default;

}  // namespace halvix::task
