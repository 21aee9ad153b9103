// DefaultStrategy: prints an error on standard error when no other strategy takes it.
#include "halvix/error/DefaultStrategy.h"

#include <iostream>

namespace halvix::error {

DefaultStrategy::DefaultStrategy() : StrategyT<Error>(Error::STRATEGY_TYPE, "Default Error Strategy", true) {}

DefaultStrategy::~DefaultStrategy() = default;

bool DefaultStrategy::isInterested(const Error&) const
{
    return false;
}

void DefaultStrategy::processClientObject(Error& error)
{
    std::clog << error << std::endl;
}

}  // namespace halvix::error
