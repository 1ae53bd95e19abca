// Turns an array of strings (VT_ARRAY|VT_BSTR) into an array of VARIANTs
// with lower bound 1, the form script clients can index and enumerate.
#pragma once

#include <windows.h>
#include <oaidl.h>

// destination is set to VT_EMPTY first, without clearing what it held. A
// source that is not a non-null one-dimensional array of BSTRs leaves it
// VT_EMPTY with S_OK. E_INVALIDARG for a null source or destination; E_FAIL
// when the new array cannot be made; a failing array operation's HRESULT
// otherwise (destination VT_EMPTY).
HRESULT ConvertToVariantArray(const VARIANT* source, VARIANT* destination) noexcept;
