// What SecClient.dll serves: its one class and its type library.
#include "SecClientStandIn.h"

#include "ComModule.h"
#include "Resource.h"

namespace {

// Apartment (its registry script): counts are interlocked, but an object
// keeps its settings and its call record unguarded, each in the apartment
// that made it.
ClassEntry g_classTable[] = {
    {&CLSID_SecClientStandIn, CreateComInstance<CSecClientStandIn>, nullptr, IDR_SECCLIENTSTANDIN},
    {nullptr, nullptr, nullptr, 0},
};

}  // namespace

const ComModuleDefinition g_moduleDefinition = {g_classTable, &LIBID_SecClientLib, nullptr};
