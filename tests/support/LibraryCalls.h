// The closed library's call log, for tests of the library and of the module
// that calls it.
#pragma once

#include "KivAuthControl.h"

#include <string>
#include <vector>

// The calls that the library recorded since the last clear.
inline std::vector<std::string> LibraryCalls()
{
    std::vector<std::string> calls;
    for (int i = 0; i < KivTest_CallCount(); ++i) {
        char line[2048];
        KivTest_GetCall(i, line, sizeof line);
        calls.push_back(line);
    }
    return calls;
}
