// halvix/error/DefaultStrategy.h - the error strategy that exists from load time.
//
// The library creates the one DefaultStrategy (SingletonT<DefaultStrategy>)
// while it is loaded, before any application code runs, so every error is
// printed on standard error (std::clog) until the application constructs
// error strategies of its own; from then on the default stays silent.
#ifndef HALVIX_ERROR_DEFAULTSTRATEGY_H
#define HALVIX_ERROR_DEFAULTSTRATEGY_H

#include <halvix/Export.h>
#include <halvix/error/Error.h>
#include <halvix/strategy/Strategy.h>

namespace halvix::error {

// Type "Error", name "Default Error Strategy", registered as the default.
class HALVIX_API DefaultStrategy : public strategy::StrategyT<Error>
{
public:
    DefaultStrategy();
    ~DefaultStrategy() override;

    // Always false: the default is consulted only while it is alone.
    bool isInterested(const Error& error) const override;

    // Writes the error text and std::endl to std::clog.
    void processClientObject(Error& error) override;
};

}  // namespace halvix::error

#endif  // HALVIX_ERROR_DEFAULTSTRATEGY_H
