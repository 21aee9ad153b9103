// The error-type names of Error, built first and never destroyed
// (halvix/src/NeverDestroyed.h says why). Error.h declares them as
// `static const std::string` members and is not included here.
#include "halvix/src/NeverDestroyed.h"

#include <string>

namespace halvix::error::names {

HALVIX_NEVER_DESTROYED(std::string, strategyType,
                       "_ZN6halvix5error5Error13STRATEGY_TYPE" HALVIX_CXX11_TAG "E", "Error");
HALVIX_NEVER_DESTROYED(std::string, alreadyExists,
                       "_ZN6halvix5error5Error14ALREADY_EXISTS" HALVIX_CXX11_TAG "E", "AlreadyExists");
HALVIX_NEVER_DESTROYED(std::string, doesNotExist,
                       "_ZN6halvix5error5Error14DOES_NOT_EXIST" HALVIX_CXX11_TAG "E", "DoesNotExist");
HALVIX_NEVER_DESTROYED(std::string, invalidArgument,
                       "_ZN6halvix5error5Error16INVALID_ARGUMENT" HALVIX_CXX11_TAG "E", "InvalidArgument");
HALVIX_NEVER_DESTROYED(std::string, notImplemented,
                       "_ZN6halvix5error5Error15NOT_IMPLEMENTED" HALVIX_CXX11_TAG "E", "NotImplemented");
HALVIX_NEVER_DESTROYED(std::string, nullPtr, "_ZN6halvix5error5Error8NULL_PTR" HALVIX_CXX11_TAG "E",
                       "NullPtr");
HALVIX_NEVER_DESTROYED(std::string, unknownException,
                       "_ZN6halvix5error5Error17UNKNOWN_EXCEPTION" HALVIX_CXX11_TAG "E", "UnknownException");

}  // namespace halvix::error::names
