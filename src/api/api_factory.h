#pragma once
// Creation of the concrete API objects behind ZAVO_Open and ZAVO_OpenRaw.
// The C interface only knows the mode bases; tests install their own doubles
// here to exercise the interface without a network.
#include "api/api_imp.h"

namespace zavo {

// A new, not yet opened struct-mode object, or null if this build has none.
StructApiImp* NewStructApi();
// A new, not yet opened raw-mode object, or null if this build has none.
RawApiImp* NewRawApi();

// Replaces the factories; a null pointer restores the default of that mode.
void SetApiFactories(StructApiImp* (*new_struct)(), RawApiImp* (*new_raw)());

}  // namespace zavo
