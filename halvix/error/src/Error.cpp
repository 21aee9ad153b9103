// Error: the error object's header, text and severities; creates the default strategy at load time.
#include "halvix/error/Error.h"

#include "halvix/error/DefaultStrategy.h"
#include "halvix/singleton/SingletonT.h"
#include "halvix/utils/Utils.h"

#include <ctime>
#include <iostream>

namespace halvix::error {

// The error-type names are defined in ErrorNames.cpp, built before every
// other static object of the library (the default strategy below among them)
// and never destroyed.

namespace {

// The default strategy exists from load time, so errors reported by an
// application's own static initialisers are already printed.
const DefaultStrategy* const theDefaultStrategy = singleton::SingletonT<DefaultStrategy>::getInstancePtr();

}  // namespace

Error::Error(const char* file, int line, const char* function, const std::string& errorName,
             const Severity& errorSeverity)
    : name(errorName), severity(errorSeverity)
{
    const time_t now = ::time(nullptr);
    stream << "!" << severityToString(errorSeverity) << ": " << errorName << " by " << std::getUserName()
           << " on " << std::dateTimeToStr(now) << "." << '\n';
    // A null file or function fails the stream here, which drops the rest.
    stream << "Generated from " << file << "/" << line << "/" << function << ":" << '\n';
}

Error::Error(const Error& other)
    : name(other.name), severity(other.severity), stream(other.stream.str(), std::ios_base::ate)
{
}

Error::~Error() = default;

std::string Error::severityToString(const Severity& severity)
{
    switch (severity) {
    case INFO:
        return "INFO";
    case WARNING:
        return "WARNING";
    case ERROR:
        return "ERROR";
    case CRITICAL:
        return "CRITICAL";
    case FATAL:
        return "FATAL";
    }
    return "UNKNOWN";
}

std::ostream& Error::output(std::ostream& os)
{
    return os << stream.str();
}

void Error::throwError()
{
    throw Error(*this);
}

std::ostream& operator<<(std::ostream& os, const Error& error)
{
    // output() is not const in the interface; printing does not change the error.
    return const_cast<Error&>(error).output(os);
}

}  // namespace halvix::error
