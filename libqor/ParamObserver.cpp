#include "libqor/ParamObserver.h"

namespace libqor
{

// Out of line so the vtable lives in one translation unit.
ParamObserver::~ParamObserver() = default;

} // namespace libqor
