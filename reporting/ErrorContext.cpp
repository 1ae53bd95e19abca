#include "ErrorContext.h"

#include <new>
#include <string>

#if defined(_WIN32) && !defined(_WIN64)
// Thirteen 32-bit fields, in the order the reporting calls read them.
static_assert(sizeof(ErrorContext) == 13 * 4, "ErrorContext holds thirteen 32-bit fields");
#endif

void ErrorContext::SetTextParam(int position, const wchar_t* name, const wchar_t* value)
{
    if (position < 1 || position > 4) return;
    ParamValue[position - 1] = BstrText(value ? value : kNullArgumentText);
    ParamName[position - 1] = name;
}

void ErrorContext::SetTextParam(int position, const wchar_t* name, const wchar_t* value,
                                size_t length)
{
    if (!value) return SetTextParam(position, name, nullptr);
    if (position < 1 || position > 4) return;
    if (length > 0x7FFFFFFF) throw std::bad_alloc();
    BSTR whole = SysAllocStringLen(value, static_cast<UINT>(length));
    if (!whole) throw std::bad_alloc();
    ParamValue[position - 1] = BstrText::Attach(whole);
    ParamName[position - 1] = name;
}

void ErrorContext::SetNumberParam(int position, const wchar_t* name, LONG value)
{
    if (position < 1 || position > 4) return;
    ParamValue[position - 1] = BstrText(std::to_wstring(value).c_str());
    ParamName[position - 1] = name;
}

void ErrorContext::SetPointerParam(int position, const wchar_t* name, const void* value)
{
    if (position < 1 || position > 4) return;
    ParamValue[position - 1] = BstrText(std::to_wstring(reinterpret_cast<LONG_PTR>(value)).c_str());
    ParamName[position - 1] = name;
}
