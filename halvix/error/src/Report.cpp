// The reporting sequence: build an Error, route it through the strategies, then throw or return.
#include "halvix/error/Report.h"

#include "halvix/strategy/Strategy.h"

namespace halvix::error {

namespace {

void route(Error& error, const std::string& message)
{
    error.getStream() << message;
    strategy::StrategyT<Error>::invokeStrategies(Error::STRATEGY_TYPE, error);
}

}  // namespace

void reportError(const char* file, int line, const char* function, const std::string& name,
                 Error::Severity severity, const std::string& message)
{
    Error error(file, line, function, name, severity);
    route(error, message);
}

void reportAndThrowError(const char* file, int line, const char* function, const std::string& name,
                         Error::Severity severity, const std::string& message)
{
    Error error(file, line, function, name, severity);
    route(error, message);
    error.throwError();
}

}  // namespace halvix::error
