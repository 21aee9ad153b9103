// A program built against an installed halvix: includes the umbrella header,
// routes an Error through a strategy of its own and checks the singleton is
// shared with the library.
#include <halvix/halvix.h>

#include <iostream>

namespace {

class Counting : public halvix::strategy::StrategyT<halvix::error::Error>
{
public:
    Counting() : StrategyT(halvix::error::Error::STRATEGY_TYPE, "Counting", false) {}
    bool isInterested(const halvix::error::Error&) const override { return true; }
    void processClientObject(halvix::error::Error&) override { ++count; }
    int count = 0;
};

}  // namespace

int main()
{
    Counting counting;
    try {
        HALVIX_THROW("main", halvix::error::Error::INVALID_ARGUMENT, halvix::error::Error::WARNING,
                     "consumer");
    } catch (const halvix::error::Error& error) {
        if (counting.count == 1 && error.getName() == "InvalidArgument") {
            std::cout << "consumer ok" << std::endl;
            return 0;
        }
    }
    std::cout << "consumer FAILED" << std::endl;
    return 1;
}
