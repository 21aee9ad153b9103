// error_report: the smallest halvix program.
//
// It builds an Error the way the library reports its own failures and routes
// it through the strategies of type "Error". With nothing else registered,
// the library's default strategy prints it on standard error.
#include <halvix/halvix.h>

#include <iostream>

using halvix::error::Error;

int main()
{
    std::cout << "Registered error strategies (the default exists from load time):" << std::endl;
    halvix::strategy::Strategy::outputStrategyTypes(std::cout);

    std::cout << std::endl << "Reporting one error through the default strategy:" << std::endl;
    Error error(__FILE__, __LINE__, "main", Error::INVALID_ARGUMENT, Error::WARNING);
    error.getStream() << "This is how halvix reports a failure: header, then message.";
    halvix::strategy::StrategyT<Error>::invokeStrategies(Error::STRATEGY_TYPE, error);
    return 0;
}
