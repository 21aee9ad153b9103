#include "halvix/utils/Utils.h"

#include <cstdlib>
#include <ctime>

namespace {

const char* const NOT_AVAILABLE = "-- not available --";

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
    if (::ctime_r(&seconds, buffer) == nullptr) {
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
