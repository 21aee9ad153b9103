// halvix/strategy/Strategy.h - pluggable handlers grouped by a strategy type.
//
// A strategy registers itself under its type (a plain string such as "Error")
// when it is constructed and leaves the registry when it is destroyed. Code
// that has an object to hand on calls StrategyT<T>::invokeStrategies(type,
// object), which routes it:
//   - while the type has no strategy but its default, the default processes
//     every object (it is not asked isInterested);
//   - once the type has other strategies, each of them that isInterested
//     processes the object, in the order of construction, and the default
//     stays silent.
// Applications derive from StrategyT<T> to add their own handling; the
// library routes its Error objects through the type "Error".
//
// Contract:
//   - The registry has no lock. Construct and destroy strategies while no
//     other thread can be inside invokeStrategies, cleanUp or
//     outputStrategyTypes (set them up before starting threads, take them
//     down after the threads have ended).
//   - invokeStrategies may run on many threads at once; strategies are
//     called on the calling thread and guard their own state.
//   - An exception thrown by a strategy passes through invokeStrategies; the
//     strategies after it are not called.
//   - invokeStrategies allocates nothing.
#ifndef HALVIX_STRATEGY_STRATEGY_H
#define HALVIX_STRATEGY_STRATEGY_H

#include <halvix/Export.h>

#include <list>
#include <ostream>
#include <string>

namespace halvix::strategy {

// Base of every strategy: a type to register under and a display name.
class HALVIX_API Strategy
{
public:
    // One record per strategy type; created with the type's first strategy
    // and kept for the life of the process.
    struct StrategyCollectionInfo
    {
        Strategy* defaultStrategyPtr = nullptr;  // null while the type has no default
        std::list<Strategy*> strategyList;       // non-default strategies, in registration order
    };

    // Registers the new strategy: as the type's default when isDefault (an
    // earlier default is replaced without notice), else at the end of the
    // type's list. If the registry cannot grow, throws std::bad_alloc and
    // leaves the registry as it was (a new type is entered whole or not at
    // all).
    Strategy(const std::string& type, const std::string& name, bool isDefault);
    Strategy(const Strategy&) = delete;
    Strategy& operator=(const Strategy&) = delete;

    // Unregisters (cleanUp).
    virtual ~Strategy() = 0;

    const std::string& getType() const { return type; }
    const std::string& getName() const { return name; }

    // "Type = '<type>'" and "Name = '<name>'", each on its own line.
    virtual std::ostream& output(std::ostream& os) const;

    // Removes this strategy from the registry: as the type's default if it is
    // that, else from the type's list. The type's record stays.
    void cleanUp();

    // Prints the whole registry in type order under "*** Current strategies are:".
    static std::ostream& outputStrategyTypes(std::ostream& os);

    // The record of a type, or null if no strategy of that type was ever
    // constructed. For StrategyT<T>::invokeStrategies.
    static StrategyCollectionInfo* findCollectionInfo(const std::string& type);

private:
    std::string type;
    std::string name;
};

HALVIX_API std::ostream& operator<<(std::ostream& os, const Strategy& strategy);

// Base of the strategies that handle client objects of class T.
template <typename T>
class HALVIX_API StrategyT : public Strategy
{
public:
    StrategyT(const std::string& strategyType, const std::string& strategyName, bool isDefault)
        : Strategy(strategyType, strategyName, isDefault)
    {
    }

    // Whether this strategy wants the object.
    virtual bool isInterested(const T& clientObject) const = 0;

    // Handles the object, which it may change.
    virtual void processClientObject(T& clientObject) = 0;

    // Routes the object to the strategies registered under `type`. Strategies
    // of another client class under the same type are skipped. A type that
    // was never registered, a missing default or a list in which no strategy
    // is interested are all silent.
    static void invokeStrategies(const std::string& type, T& clientObject)
    {
        StrategyCollectionInfo* info = findCollectionInfo(type);
        if (info == nullptr) {
            return;
        }
        if (info->strategyList.empty()) {
            if (auto* defaultStrategy = dynamic_cast<StrategyT<T>*>(info->defaultStrategyPtr)) {
                defaultStrategy->processClientObject(clientObject);
            }
            return;
        }
        for (Strategy* strategy : info->strategyList) {
            auto* handler = dynamic_cast<StrategyT<T>*>(strategy);
            if (handler != nullptr && handler->isInterested(clientObject)) {
                handler->processClientObject(clientObject);
            }
        }
    }
};

}  // namespace halvix::strategy

#endif  // HALVIX_STRATEGY_STRATEGY_H
