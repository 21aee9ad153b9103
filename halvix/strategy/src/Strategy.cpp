// Strategy: the registry of strategies by type, entering and leaving it, and its printer.
#include "halvix/strategy/Strategy.h"

#include "halvix/singleton/SingletonT.h"

#include <map>
#include <memory>

namespace halvix::strategy {

namespace {

using Registry = std::map<std::string, Strategy::StrategyCollectionInfo*>;

Registry& registry()
{
    return *singleton::SingletonT<Registry>::getInstancePtr();
}

}  // namespace

namespace {

void enter(Strategy::StrategyCollectionInfo& info, Strategy* strategy, bool isDefault)
{
    if (isDefault) {
        info.defaultStrategyPtr = strategy;
    } else {
        info.strategyList.push_back(strategy);  // strong: a failed push leaves the list as it was
    }
}

}  // namespace

// Every allocation (the type's record, its map entry, a list node) may fail;
// the constructor then throws std::bad_alloc and the registry is as it was.
// A new type is filled before it is published in the map, so a failure
// half-way never leaves a type without a record, which every reader of the
// registry would follow.
Strategy::Strategy(const std::string& strategyType, const std::string& strategyName, bool isDefault)
    : type(strategyType), name(strategyName)
{
    Registry& types = registry();
    auto entry = types.find(strategyType);
    if (entry != types.end()) {
        enter(*entry->second, this, isDefault);
        return;
    }
    auto info = std::make_unique<StrategyCollectionInfo>();
    enter(*info, this, isDefault);
    types.emplace(strategyType, info.get());
    static_cast<void>(info.release());  // lives as long as the process
}

Strategy::~Strategy()
{
    cleanUp();
}

std::ostream& Strategy::output(std::ostream& os) const
{
    os << "Type = '" << type << "'" << std::endl;
    os << "Name = '" << name << "'" << std::endl;
    return os;
}

void Strategy::cleanUp()
{
    StrategyCollectionInfo* info = findCollectionInfo(type);
    if (info == nullptr) {
        return;
    }
    if (info->defaultStrategyPtr == this) {
        info->defaultStrategyPtr = nullptr;
        return;
    }
    info->strategyList.remove(this);
}

Strategy::StrategyCollectionInfo* Strategy::findCollectionInfo(const std::string& type)
{
    Registry& types = registry();
    auto entry = types.find(type);
    return entry == types.end() ? nullptr : entry->second;
}

std::ostream& Strategy::outputStrategyTypes(std::ostream& os)
{
    os << "*** Current strategies are:" << std::endl;
    for (const auto& [type, info] : registry()) {
        os << "---------------- " << type << " ..." << std::endl;
        os << "Default strategy: " << std::endl;
        if (info->defaultStrategyPtr != nullptr) {
            os << *info->defaultStrategyPtr;
        } else {
            os << "None" << std::endl;
        }
        os << std::endl;
        for (const Strategy* strategy : info->strategyList) {
            os << *strategy << std::endl;
        }
        os << ".. end of " << type << std::endl;
    }
    os << "... Done." << std::endl;
    return os;
}

std::ostream& operator<<(std::ostream& os, const Strategy& strategy)
{
    return strategy.output(os);
}

}  // namespace halvix::strategy
