// The thread's error object (GetErrorInfo), as a failed method leaves it
// for its caller: script engines show it as Err.Description and Err.Source.
#pragma once

#include "ComPtr.h"

#include <windows.h>
#include <oleauto.h>

// Leaves a new error object with this description, source (a ProgID) and
// interface, and returns result. When none can be made, the thread is left
// with none: another component's error object never stands for this failure.
inline HRESULT LeaveErrorObject(HRESULT result, const wchar_t* description, const wchar_t* source,
                                REFIID iid) noexcept
{
    com_ptr<ICreateErrorInfo> create;
    com_ptr<IErrorInfo> info;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
        create->SetDescription(const_cast<wchar_t*>(description ? description : L""));
        create->SetSource(const_cast<wchar_t*>(source ? source : L""));
        create->SetGUID(iid);
        if (FAILED(create.query(info))) info.reset();
    }
    SetErrorInfo(0, info.get());
    return result;
}
