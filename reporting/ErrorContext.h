// The per-call record that a reporting operation builds at its entry: which
// operation failed and with which arguments.
#pragma once

#include "BstrText.h"

#include <windows.h>

struct ErrorContext {
    // Names, the operation and the optional texts point to constant literals;
    // only the values are owned.
    explicit ErrorContext(const wchar_t* operation) noexcept : Operation(operation) {}

    // Pair 1 to 4 (other positions are ignored): a string argument as it is,
    // "<NULL>" when it is null.
    // Throws std::bad_alloc.
    void SetTextParam(int position, const wchar_t* name, const wchar_t* value);
    // The same for a text of the given length, embedded NULs included: a
    // text that is kept whole (a role's name) is recorded whole, so that the
    // record never names another text than the one acted on.
    void SetTextParam(int position, const wchar_t* name, const wchar_t* value, size_t length);
    // Pair 1 to 4: a number as signed decimal text. Throws std::bad_alloc.
    void SetNumberParam(int position, const wchar_t* name, LONG value);
    // Pair 1 to 4: an address as signed decimal text of the platform's
    // pointer width, so that no two objects are recorded alike. Throws
    // std::bad_alloc.
    void SetPointerParam(int position, const wchar_t* name, const void* value);

    const wchar_t* Operation;
    const wchar_t* ParamName[4] = {};  // null: no parameter
    BstrText ParamValue[4];            // null: never set
    const wchar_t* OptionalText1 = nullptr;
    const wchar_t* OptionalText2 = nullptr;
    const wchar_t* OptionalText3 = nullptr;
    LONG OptionalNumber = -1;  // -1: not set
};

// The text recorded for a null string argument.
inline constexpr wchar_t kNullArgumentText[] = L"<NULL>";
