#include "PolicySource.h"

#include "HttpClient.h"
#include "Resource.h"
#include "Text.h"

#include <memory>

namespace kivauth {

bool MachinePolicyFile(PolicySource& source)
{
    std::wstring path;
    const char* origin = nullptr;
    switch (standin::MachinePolicyFile(path)) {
    case standin::PolicySetting::Environment: origin = "KIVAUTH_POLICY"; break;
    case standin::PolicySetting::Registry: origin = "registry PolicyFile"; break;
    case standin::PolicySetting::None: return false;
    }
    source.kind = PolicySource::Kind::File;
    source.path = path;
    source.origin = std::string(origin) + " " + ToAcpForMessage(path.c_str());
    return true;
}

namespace {

bool ReadFromServer(const PolicySource& source, const std::wstring& knownEtag, PolicyRead& read,
                    std::string& error)
{
    standin::HttpAddress address;
    if (!standin::ParseHttpAddress(source.path.c_str(), address)) {
        error = source.origin + ": not an http: address";
        return false;
    }
    standin::HttpRequest request;
    request.timeoutMs = source.timeoutMs;
    if (!knownEtag.empty()) request.headers = L"If-None-Match: " + knownEtag + L"\r\n";
    standin::HttpResponse response;
    std::string failure;
    if (FAILED(standin::SendHttpRequest(address, request, response, failure))) {
        error = source.origin + ": " + failure;
        return false;
    }
    if (response.status == HTTP_STATUS_NOT_MODIFIED && !knownEtag.empty()) {
        read.notModified = true;
        read.etag = knownEtag;
        return true;
    }
    if (response.status != HTTP_STATUS_OK) {
        error = source.origin + ": the server answered " + std::to_string(response.status);
        return false;
    }
    read.text = std::move(response.body);
    read.etag = std::move(response.etag);
    return true;
}

}  // namespace

bool ReadPolicyText(const PolicySource& source, const std::wstring& knownEtag, PolicyRead& result,
                    std::string& error)
{
    result = PolicyRead();
    std::string& text = result.text;
    switch (source.kind) {
    case PolicySource::Kind::Http: return ReadFromServer(source, knownEtag, result, error);
    case PolicySource::Kind::Text: text = source.text; return true;
    case PolicySource::Kind::Embedded: {
        HMODULE self = nullptr;
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&ReadPolicyText), &self);
        HRSRC resource = FindResourceW(self, MAKEINTRESOURCEW(IDR_DEFAULT_POLICY), RT_RCDATA);
        HGLOBAL loaded = resource ? LoadResource(self, resource) : nullptr;
        const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        if (!data) {
            error = "the embedded default policy is missing";
            return false;
        }
        text.assign(data, SizeofResource(self, resource));
        return true;
    }
    case PolicySource::Kind::File: break;
    }
    // Others replace the file by renaming a new one over it: share delete
    // access so that they never fail because of this read.
    HANDLE file = CreateFileW(source.path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = source.origin + ": cannot open (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::unique_ptr<void, decltype(&CloseHandle)> closer(file, &CloseHandle);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > standin::kMaxPolicyBytes) {
        error = source.origin + ": cannot read its size, or larger than 256 MB";
        return false;
    }
    text.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (size.QuadPart &&
        (!ReadFile(file, &text[0], static_cast<DWORD>(size.QuadPart), &read, nullptr) ||
         read != size.QuadPart)) {
        error = source.origin + ": read failed (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

}  // namespace kivauth
