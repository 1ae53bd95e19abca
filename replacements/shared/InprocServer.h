// The scaffolding of a stand-in's in-process server: the module's lock
// count and handle (ModuleState.h), its one class object, and the
// HKEY_CLASSES_ROOT keys of self-registration. Each DLL keeps its own
// entry points, class id and registry content.
#pragma once

#include "ClassFactory.h"
#include "ModuleState.h"

#include <windows.h>
#include <objbase.h>
#include <string>

namespace standin {

// The class object of one class a DLL serves, made on first demand and
// cached, as the module's class table does (ClassFactory.h).
class ClassObject {
public:
    constexpr ClassObject(const CLSID& clsid, CreateInstanceFn create) noexcept
        : m_clsid(&clsid), m_create(create)
    {
    }
    ClassObject(const ClassObject&) = delete;
    ClassObject& operator=(const ClassObject&) = delete;
    ~ClassObject() { ReleaseCachedClassObject(m_factory); }

    // What DllGetClassObject answers.
    HRESULT Get(REFCLSID clsid, REFIID riid, void** ppv) noexcept;

private:
    const CLSID* m_clsid;
    CreateInstanceFn m_create;
    IClassFactory* m_factory = nullptr;
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// What DllCanUnloadNow answers: S_OK once every object and lock is gone.
HRESULT CanUnloadModule() noexcept;

// The path of the module's file.
HRESULT ModuleFilePath(std::wstring& path);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
std::wstring GuidText(REFGUID guid);

// Creates HKCR\key with its default value and, optionally, one named value.
HRESULT WriteClassesRootKey(const std::wstring& key, const std::wstring& value,
                            const wchar_t* name = nullptr, const wchar_t* namedValue = nullptr);

// Removes HKCR\key and everything under it; a key that is not there is no
// failure, so that unregistering twice is harmless.
HRESULT DeleteClassesRootKey(const std::wstring& key);

}  // namespace standin
