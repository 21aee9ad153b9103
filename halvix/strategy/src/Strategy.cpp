#include "halvix/strategy/Strategy.h"

#include "halvix/singleton/SingletonT.h"

#include <map>

namespace halvix::strategy {

namespace {

using Registry = std::map<std::string, Strategy::StrategyCollectionInfo*>;

Registry& registry()
{
    return *singleton::SingletonT<Registry>::getInstancePtr();
}

}  // namespace

Strategy::Strategy(const std::string& type, const std::string& name, bool isDefault) : type(type), name(name)
{
    StrategyCollectionInfo*& info = registry()[type];
    if (info == nullptr) {
        info = new StrategyCollectionInfo();  // lives as long as the process
    }
    if (isDefault) {
        info->defaultStrategyPtr = this;
    } else {
        info->strategyList.push_back(this);
    }
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
