#include "halvix/task/src/TaskCollection.h"

#include "halvix/singleton/SingletonT.h"

namespace halvix::task::collection {

namespace {

// Constant-initialised, so usable from any static initialiser.
std::mutex collectionMutex;

}  // namespace

Locked::Locked() : lock(collectionMutex), entries(*singleton::SingletonT<Map>::getInstancePtr()) {}

}  // namespace halvix::task::collection
