// The policy load from the build's own server over https: against http:,
// at 1,000 and 100,000 roles, as a ratio measured in one run. Needs the
// server (tests/httpd.sh; AUTH_HTTPD_DIR names its folder) and trusts its CA
// in this Wine prefix. Prints figures; asserts nothing.
#include "Clock.h"
#include "KIVAuthorize.h"
#include "KivAuthControl.h"

#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr int kLoads = 5;

std::wstring Folder()
{
    wchar_t value[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"AUTH_HTTPD_DIR", value, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(value) : std::wstring();
}

std::string ReadAll(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The port on a "name port" line of the server's tls-ports, or its plain one.
int Port(const char* name)
{
    if (!name) return atoi(ReadAll(Folder() + L"\\port").c_str());
    std::istringstream lines(ReadAll(Folder() + L"\\tls-ports"));
    std::string key;
    int port = 0;
    while (lines >> key >> port)
        if (key == name) return port;
    return 0;
}

bool TrustCa()
{
    std::string der = ReadAll(Folder() + L"\\tls\\ca.der");
    HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (der.empty() || !root) return false;
    BOOL added = CertAddEncodedCertificateToStore(
        root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertCloseStore(root, 0);
    return added != FALSE;
}

std::string MakePolicy(int roles)
{
    std::string text = "policy | 1\n";
    for (int i = 0; i < roles; ++i) {
        char role[40];
        snprintf(role, sizeof role, "{%08X-0000-4000-8000-%012X}", i, i);
        std::string n = std::to_string(i);
        text += "role | " + std::string(role) + " | Role " + n + " | bench role\n";
        text += "role-user | " + std::string(role) + " | D\\user" + n + "\n";
        text += "role-grant | " + std::string(role) + " | CN=Object" + n + ",O=Bench | 3\n";
    }
    return text;
}

long SetSecurityServer(const wchar_t* url)
{
    static auto export_ = reinterpret_cast<SetSecurityServerFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"KivAuth.dll"), "SetSecurityServer")));
    return export_ ? export_(L"", url) : E_NOTIMPL;
}

// Milliseconds per load (InitCache) of the address, averaged; -1 on a failure.
double LoadMs(const std::wstring& url)
{
    if (SetSecurityServer(url.c_str()) != S_OK) return -1;
    double total = 0;
    for (int i = 0; i < kLoads; ++i) {
        CKIVAuthorize auth;
        double start = Now();
        if (!auth.InitCache("D\\user0", 3)) return -1;
        total += Now() - start;
    }
    return total * 1000 / kLoads;
}

}  // namespace

int main()
{
    if (Folder().empty() || !Port(nullptr) || !Port("good") || !TrustCa()) {
        printf("transport: the test server is not running (tests/httpd.sh, AUTH_HTTPD_DIR)\n");
        return 1;
    }
    KivTest_Reset();
    printf(
        "KivAuth: a policy load (InitCache) from the server, ms, %d loads each (the\n"
        "parsed store of an unchanged text is reused, so these are mostly transport):\n",
        kLoads);
    printf("%7s %10s %10s %8s\n", "roles", "http:", "https:", "ratio");
    for (int roles : {1000, 100000}) {
        std::string policy = MakePolicy(roles);
        std::wstring name = L"bench-" + std::to_wstring(roles) + L".txt";
        std::ofstream((Folder() + L"\\docs\\" + name).c_str(), std::ios::binary) << policy;
        double plain = LoadMs(L"http://127.0.0.1:" + std::to_wstring(Port(nullptr)) + L"/" + name);
        double secure = LoadMs(L"https://localhost:" + std::to_wstring(Port("good")) + L"/" + name);
        if (plain <= 0 || secure <= 0) {
            printf("%7d   a load failed\n", roles);
            continue;
        }
        printf("%7d %10.1f %10.1f %8.2f\n", roles, plain, secure, secure / plain);
    }
    KivTest_Reset();
    return 0;
}
