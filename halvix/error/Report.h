// halvix/error/Report.h - the reporting sequence in one call.
//
// Every failure of the object layers is reported the same way: build an Error
// with the reporting file, line and function, an error-type name and a
// severity; append the message; hand it to the strategies of type "Error";
// then either throw it or return a failure value. HALVIX_REPORT and
// HALVIX_THROW do that from the call site:
//
//     HALVIX_REPORT("getCommandPtr", Error::INVALID_ARGUMENT, Error::ERROR,
//                   "Invalid index (" + std::to_string(index) + ") ...");
//     return nullptr;
//
// The strategies see every error, thrown or not, before any handler does. An
// exception thrown by a strategy replaces the report.
#ifndef HALVIX_ERROR_REPORT_H
#define HALVIX_ERROR_REPORT_H

#include <halvix/Export.h>
#include <halvix/error/Error.h>

#include <string>

namespace halvix::error {

// Builds the error, appends `message` and routes it to the "Error" strategies.
HALVIX_API void reportError(const char* file, int line, const char* function, const std::string& name,
                            Error::Severity severity, const std::string& message);

// reportError, then throws the error by value (as class Error).
[[noreturn]] HALVIX_API void reportAndThrowError(const char* file, int line, const char* function,
                                                 const std::string& name, Error::Severity severity,
                                                 const std::string& message);

}  // namespace halvix::error

#define HALVIX_REPORT(function, name, severity, message)                                                     \
    ::halvix::error::reportError(__FILE__, __LINE__, (function), (name), (severity), (message))

#define HALVIX_THROW(function, name, severity, message)                                                      \
    ::halvix::error::reportAndThrowError(__FILE__, __LINE__, (function), (name), (severity), (message))

#endif  // HALVIX_ERROR_REPORT_H
