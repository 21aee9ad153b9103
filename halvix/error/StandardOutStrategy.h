// halvix/error/StandardOutStrategy.h - prints every error, beside the
// application's own error strategies.
//
// Once an application constructs an error strategy of its own the default
// strategy stops printing; constructing a StandardOutStrategy as well keeps
// every error printed on standard error (std::clog), once.
#ifndef HALVIX_ERROR_STANDARDOUTSTRATEGY_H
#define HALVIX_ERROR_STANDARDOUTSTRATEGY_H

#include <halvix/Export.h>
#include <halvix/error/Error.h>
#include <halvix/strategy/Strategy.h>

namespace halvix::error {

// Type "Error", name "StandardOut", a member of the type's list.
class HALVIX_API StandardOutStrategy : public strategy::StrategyT<Error>
{
public:
    StandardOutStrategy();
    ~StandardOutStrategy() override;

    // Always true.
    bool isInterested(const Error& error) const override;

    // Writes the error text and std::endl to std::clog.
    void processClientObject(Error& error) override;
};

}  // namespace halvix::error

#endif  // HALVIX_ERROR_STANDARDOUTSTRATEGY_H
