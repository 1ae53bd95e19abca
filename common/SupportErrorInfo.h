// ISupportErrorInfo for a class whose main interface is Itf: S_OK for that
// interface, S_FALSE for every other.
#pragma once

#include <windows.h>
#include <oaidl.h>

template <class Itf>
class SupportErrorInfoImpl : public ISupportErrorInfo {
public:
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override
    {
        return IsEqualIID(riid, __uuidof(Itf)) ? S_OK : S_FALSE;
    }
};
