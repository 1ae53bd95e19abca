#include "DefaultDomain.h"

#include "ComPtr.h"

namespace {

bool IsTerminated(DWORD type, const BYTE* data, DWORD size) noexcept
{
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return data[size - 1] == 0;
    case REG_MULTI_SZ:
        return data[size - 1] == 0 && (size < 2 || data[size - 2] == 0);
    default:
        return false;
    }
}

}  // namespace

BstrText ReadDefaultDomain()
{
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quarnex\\VOK", 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return BstrText();

    // Data longer than the buffer fails the read: the domain is then absent.
    BYTE data[256] = {};
    DWORD size = sizeof data, type = 0;
    if (RegQueryValueExA(key.get(), "AuthDefaultDomain", nullptr, &type, data, &size) !=
        ERROR_SUCCESS)
        return BstrText();
    if (size == 0 || !IsTerminated(type, data, size)) return BstrText();

    // Of a multi-string only the first string counts; an empty text is absent.
    const char* text = reinterpret_cast<const char*>(data);
    if (!*text) return BstrText();
    return BstrText::FromAcp(text);
}
