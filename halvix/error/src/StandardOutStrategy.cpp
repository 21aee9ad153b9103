// StandardOutStrategy: prints every error on standard output, beside the other strategies.
#include "halvix/error/StandardOutStrategy.h"

#include <iostream>

namespace halvix::error {

StandardOutStrategy::StandardOutStrategy() : StrategyT<Error>(Error::STRATEGY_TYPE, "StandardOut", false) {}

StandardOutStrategy::~StandardOutStrategy() = default;

bool StandardOutStrategy::isInterested(const Error&) const
{
    return true;
}

void StandardOutStrategy::processClientObject(Error& error)
{
    std::clog << error << std::endl;
}

}  // namespace halvix::error
