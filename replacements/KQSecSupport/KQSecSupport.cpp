// What KQSecSupport.dll serves: its one class, without a type library.
#include "AuditSupport.h"
#include "ComModule.h"
#include "Resource.h"

namespace {

// Both (its registry script): objects live in the caller's apartment,
// whichever kind it is.
ClassEntry g_classTable[] = {
    {&CLSID_KQSecSupport, CreateAuditSupport, nullptr, IDR_KQSECSUPPORT},
    {nullptr, nullptr, nullptr, 0},
};

}  // namespace

const ComModuleDefinition g_moduleDefinition = {g_classTable, nullptr, nullptr};
