// Environment helpers: environment variables, the user's name and date text.
#include "halvix/utils/Utils.h"

#include <pthread.h>

#include <cstdlib>
#include <ctime>

namespace {

const char* const NOT_AVAILABLE = "-- not available --";

// Serialises the local-time conversions of dateTimeToStr. Statically
// initialised and never destroyed: errors may be built while the process
// exits.
pthread_mutex_t zoneMutex = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

namespace std {

bool isEnvVarDefined(const std::string& name)
{
    return ::getenv(name.c_str()) != nullptr;
}

std::string getEnvVarValue(const std::string& name)
{
    const char* value = ::getenv(name.c_str());
    return value != nullptr ? std::string(value) : std::string(NOT_AVAILABLE);
}

std::string getUserName()
{
    return getEnvVarValue("USER");
}

std::string dateTimeToStr(const time_t& seconds)
{
    // ctime_r needs at least 26 bytes; errors are built on any thread, so the
    // shared buffer of plain ctime() is out of the question.
    char buffer[64];
    // The reentrant conversion reads TZ only once per process, unlike
    // ctime(): a service whose zone is changed at run time (TZ set by the
    // application, or /etc/localtime replaced by the administrator) would
    // date its errors in the old zone for ever. tzset is not free: with TZ
    // set it compares the text and returns, with TZ unset it stats
    // /etc/localtime (a system call, some microseconds: an Error header takes
    // about 1 us with TZ set and 6 us without). It runs once per reported
    // failure, whose text is then printed by the default strategy at a cost
    // of the same order, so a correct date is worth it.
    //
    // glibc serialises its zone state with a lock of its own, which
    // ThreadSanitizer cannot see; errors are built on many threads at once,
    // so the conversion also holds a lock of the library's, which makes the
    // ordering visible and costs little next to tzset.
    pthread_mutex_lock(&zoneMutex);
    ::tzset();
    const char* converted = ::ctime_r(&seconds, buffer);
    pthread_mutex_unlock(&zoneMutex);
    if (converted == nullptr) {
        // Years the conversion cannot represent (beyond 9999 or before the
        // calendar's range): a fixed text keeps every error header readable.
        return "-- invalid time --";
    }
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

}  // namespace std
