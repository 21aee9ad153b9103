// Timer's error-type names, built first and never destroyed
// (halvix/src/NeverDestroyed.h says why). Timer.h declares them as
// `static const std::string` members and is not included here.
#include "halvix/src/NeverDestroyed.h"

#include <string>

namespace halvix::timer::names {

HALVIX_NEVER_DESTROYED(std::string, timerError, "_ZN6halvix5timer5Timer11TIMER_ERROR" HALVIX_CXX11_TAG "E",
                       "TimerError");
HALVIX_NEVER_DESTROYED(std::string, wrongStateError,
                       "_ZN6halvix5timer5Timer17WRONG_STATE_ERROR" HALVIX_CXX11_TAG "E", "WrongTimerState");

}  // namespace halvix::timer::names
