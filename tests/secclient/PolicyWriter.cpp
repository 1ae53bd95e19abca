// One of several administrators changing the same policy on a server at
// once, as a client program does it: the module, pointed at the server, with
// the security-database client attached, adds roles through its roles
// collection. Started by secclient_http_test.
//   policy_writer URL PREFIX COUNT EVENT
// gets ready (module, client, roles collection), says so by releasing the
// semaphore named EVENT-ready, then adds the roles PREFIX1 to PREFIXn once
// the event named EVENT is set. Exit code 0 when every role was added, else
// the HRESULT that stopped it.
#include "Authorization.h"
#include "AuthSecClientItf.h"
#include "ComPtr.h"
#include "Results.h"
#include "ResourceOwners.h"
#include "SecClientItf.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kStartWaitMs = 60 * 1000;

std::wstring Widen(const char* text)
{
    std::wstring wide;
    for (; *text; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return wide;
}

HRESULT AddRoles(const std::wstring& url, const std::wstring& prefix, int count,
                 const std::wstring& eventName)
{
    CLSID clsid;
    RETURN_IF_FAILED(CLSIDFromProgID(L"Quarnex.VOK.IKIVAuthorization", &clsid));
    com_ptr<IIKIVAuthorization> auth;
    RETURN_IF_FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IIKIVAuthorization,
                                      auth.put_void()));
    com_ptr<_IVokWebBpeSecurity> security;
    RETURN_IF_FAILED(auth.query(security));
    unique_bstr reserved = unique_bstr::copy_of(L"");
    unique_bstr server = unique_bstr::copy_of(url.c_str());
    RETURN_IF_FAILED(security->SetSecServer(reserved.get(), server.get()));
    RETURN_IF_FAILED(auth->InitCache());

    com_ptr<ISecClientControl> client;
    RETURN_IF_FAILED(CoCreateInstance(CLSID_SecClientStandIn, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_ISecClientControl, client.put_void()));
    RETURN_IF_FAILED(client->put_SecurityServer(server.get()));
    RETURN_IF_FAILED(auth->put_AuthSecClient(client.get()));
    com_ptr<IKQSecRolesCollection> roles;
    unique_bstr time;
    RETURN_IF_FAILED(auth->get_RolesColl(roles.put(), time.put()));

    unique_handle ready;
    ready.reset(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (eventName + L"-ready").c_str()));
    unique_handle start;
    start.reset(OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str()));
    if (!ready || !start || !ReleaseSemaphore(ready.get(), 1, nullptr) ||
        WaitForSingleObject(start.get(), kStartWaitMs) != WAIT_OBJECT_0)
        return E_FAIL;
    for (int i = 1; i <= count; ++i) {
        unique_bstr name = unique_bstr::copy_of((prefix + std::to_wstring(i)).c_str());
        com_ptr<IKQSecRole> role;
        RETURN_IF_FAILED(roles->Add(name.get(), nullptr, nullptr, role.put()));
    }
    return S_OK;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: policy_writer URL PREFIX COUNT EVENT\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HRESULT hr = AddRoles(Widen(argv[1]), Widen(argv[2]), atoi(argv[3]), Widen(argv[4]));
    CoUninitialize();
    if (FAILED(hr))
        fprintf(stderr, "policy_writer %s: 0x%08lX\n", argv[2], static_cast<unsigned long>(hr));
    return static_cast<int>(hr);
}
