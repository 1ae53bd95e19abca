// The application-cache object that GetAppCache hands out: a small counted
// COM object; callers only ever ask it for IUnknown.
#pragma once

#include "KIVAuthorize.h"

namespace kivauth {

// A new object with one reference for the caller; null when memory runs out.
IKivXml2* CreateAppCache() noexcept;

}  // namespace kivauth
