// halvix/error/Error.h - the error object that every failing operation of the
// object layers (commands, queues, tasks, timers) builds and routes.
//
// An Error carries an error-type name (one of the constants below, or those of
// Queue, Task and Timer), a severity and a text. Its constructor writes a
// two-line header:
//
//     !ERROR: NullPtr by alice on Thu Jan  1 00:00:00 1970.
//     Generated from /src/halvix/command/src/Macro.cpp/57/add:
//
// and the reporting code appends its message to getStream(). The error is then
// handed to the strategies of type Error::STRATEGY_TYPE ("Error") and either
// thrown by value or only reported (see halvix/error/Report.h, which does all
// of this in one call).
//
// A null `file` or `function` puts the text stream into its failed state: the
// text ends just before the missing item and nothing more is added to it;
// routing and throwing work as usual.
//
// Errors are built on the failing thread without a lock; many threads may
// build errors at once.
#ifndef HALVIX_ERROR_ERROR_H
#define HALVIX_ERROR_ERROR_H

#include <halvix/Export.h>

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>

namespace halvix::error {

class HALVIX_API Error
{
public:
    enum Severity : int32_t
    {
        INFO = 1,
        WARNING = 2,
        ERROR = 3,
        CRITICAL = 4,
        FATAL = 5
    };

    // The strategy type under which error strategies register.
    static const std::string STRATEGY_TYPE;  // "Error"
    // Error-type names.
    static const std::string ALREADY_EXISTS;     // "AlreadyExists"
    static const std::string DOES_NOT_EXIST;     // "DoesNotExist"
    static const std::string INVALID_ARGUMENT;   // "InvalidArgument"
    static const std::string NOT_IMPLEMENTED;    // "NotImplemented"
    static const std::string NULL_PTR;           // "NullPtr"
    static const std::string UNKNOWN_EXCEPTION;  // "UnknownException"

    // `file` and `line` of the reporting statement, `function` its unqualified
    // name (the class name for a constructor). Writes the header.
    Error(const char* file, int line, const char* function, const std::string& name,
          const Severity& severity);

    // Copies name, severity and the text so far; text appended to the copy
    // follows the copied text.
    Error(const Error& other);
    Error& operator=(const Error&) = delete;
    virtual ~Error();

    // The text stream; the reporting code appends its message here.
    std::ostringstream& getStream() { return stream; }

    const std::string& getName() const { return name; }
    const Severity& getSeverity() const { return severity; }

    // "INFO", "WARNING", "ERROR", "CRITICAL", "FATAL"; "UNKNOWN" for any
    // other value.
    static std::string severityToString(const Severity& severity);

    // Writes the whole text (header and message), nothing added.
    virtual std::ostream& output(std::ostream& os);

    // Throws a copy of this error; never returns.
    [[noreturn]] void throwError();

private:
    std::string name;
    Severity severity;
    std::ostringstream stream;
};

HALVIX_API std::ostream& operator<<(std::ostream& os, const Error& error);

}  // namespace halvix::error

#endif  // HALVIX_ERROR_ERROR_H
