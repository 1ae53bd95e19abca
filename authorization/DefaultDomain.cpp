#include "DefaultDomain.h"

#include "ResourceOwners.h"

#include <string>

namespace {

const char kKeyPath[] = "SOFTWARE\\Quarnex\\VOK";

bool IsTerminated(DWORD type, const BYTE* data, DWORD size) noexcept
{
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return data[size - 1] == 0;
    case REG_MULTI_SZ: return data[size - 1] == 0 && (size < 2 || data[size - 2] == 0);
    default: return false;
    }
}

// The value as the open key holds it now. ERROR_SUCCESS with present false
// when it is absent or unusable; the read's own error when the key itself
// cannot be read.
LONG ReadValue(HKEY key, bool& present, std::string& domain)
{
    present = false;
    // Data longer than the buffer fails the read: the domain is then absent.
    BYTE data[256] = {};
    DWORD size = sizeof data, type = 0;
    LONG status = RegQueryValueExA(key, "AuthDefaultDomain", nullptr, &type, data, &size);
    if (status != ERROR_SUCCESS) return status;
    if (size == 0 || !IsTerminated(type, data, size)) return ERROR_SUCCESS;

    // Of a multi-string only the first string counts; an empty text is absent.
    const char* text = reinterpret_cast<const char*>(data);
    if (!*text) return ERROR_SUCCESS;
    domain = text;
    present = true;
    return ERROR_SUCCESS;
}

// Opening the key cost every call two more trips to the registry than the
// read itself; the key is kept open instead, and the value is read anew on
// every call, so that a change is seen by the next call whoever made it.
// A key deleted since it was opened (and perhaps made again) answers
// ERROR_KEY_DELETED: it is then opened again by its path.
class DefaultDomainKey {
public:
    void Read(bool& present, std::string& domain)
    {
        AcquireSRWLockExclusive(&m_lock);
        struct Unlock {
            SRWLOCK* lock;
            ~Unlock() { ReleaseSRWLockExclusive(lock); }
        } unlock{&m_lock};

        if (m_key) {
            LONG status = ReadValue(m_key.get(), present, domain);
            if (status != ERROR_KEY_DELETED && status != ERROR_INVALID_HANDLE) return;
            m_key.reset();
        }
        present = false;
        HKEY opened = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_QUERY_VALUE, &opened) !=
            ERROR_SUCCESS)
            return;
        m_key.reset(opened);
        ReadValue(m_key.get(), present, domain);
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    unique_hkey m_key;
};

DefaultDomainKey g_defaultDomainKey;

}  // namespace

BstrText ReadDefaultDomain()
{
    bool present = false;
    std::string domain;
    g_defaultDomainKey.Read(present, domain);
    return present ? BstrText::FromAcp(domain.c_str()) : BstrText();
}
