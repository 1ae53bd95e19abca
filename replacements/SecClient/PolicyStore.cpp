#include "PolicyStore.h"

#include "HttpClient.h"
#include "PolicyLocation.h"
#include "Results.h"

#include <algorithm>
#include <cwchar>
#include <cstring>
#include <memory>
#include <mutex>

namespace secclient {

namespace {

// Long enough for any honest writer; a stuck one must not hang the caller.
constexpr DWORD kLockWaitMs = 60 * 1000;
// A file that anyone has open cannot be renamed over, whatever it shares.
// Readers hold it for one read: the rename is tried again for a second.
constexpr int kRenameTries = 50;
constexpr DWORD kRenamePauseMs = 20;

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

HRESULT LastError()
{
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

std::wstring FullPath(const std::wstring& path)
{
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    full.resize(length);
    return full;
}

// One mutex per file, named after its full path without regard to case.
Handle OpenWriterLock(const std::wstring& fullPath)
{
    std::wstring upper = fullPath;
    if (!upper.empty()) CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    unsigned long long hash = 1469598103934665603ull;
    for (wchar_t c : upper) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, 64, L"SecClientStandIn.Policy.%08lX%08lX",
             static_cast<unsigned long>(hash >> 32), static_cast<unsigned long>(hash));
    return Handle(CreateMutexW(nullptr, FALSE, name), &CloseHandle);
}

// Opens the file for reading, sharing everything (the library and other
// readers must never be refused), and gives its size.
HRESULT OpenForReading(const std::wstring& path, Handle& file, LARGE_INTEGER& size)
{
    file = Handle(CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                  &CloseHandle);
    if (file.get() == INVALID_HANDLE_VALUE) {
        HRESULT hr = LastError();
        (void)file.release();  // not a handle: nothing to close
        return hr;
    }
    if (!GetFileSizeEx(file.get(), &size)) return LastError();
    return S_OK;
}

HRESULT ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    Handle file(nullptr, &CloseHandle);
    LARGE_INTEGER size;
    RETURN_IF_FAILED(OpenForReading(path, file, size));
    if (size.QuadPart > standin::kMaxPolicyBytes) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return LastError();
    bytes.resize(read);
    return S_OK;
}

HRESULT WriteNewFile(const std::wstring& path, const std::string& bytes)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr),
                &CloseHandle);
    if (file.get() == INVALID_HANDLE_VALUE) {
        HRESULT hr = LastError();
        (void)file.release();  // not a handle: nothing to close
        return hr;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        DWORD chunk = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
        if (!WriteFile(file.get(), bytes.data() + written, want, &chunk, nullptr))
            return LastError();
        written += chunk;
    }
    if (!FlushFileBuffers(file.get())) return LastError();
    return S_OK;
}

// The new text goes to a file of its own next to the policy, and only a
// rename, which replaces the whole file at once, puts it in place.
HRESULT ReplaceAtomically(const std::wstring& fullPath, const std::string& bytes)
{
    size_t slash = fullPath.find_last_of(L"\\/");
    std::wstring folder = slash == std::wstring::npos ? L"." : fullPath.substr(0, slash + 1);
    wchar_t temp[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"sec", 0, temp)) return LastError();
    HRESULT hr = WriteNewFile(temp, bytes);
    for (int tries = 1; SUCCEEDED(hr); ++tries) {
        if (MoveFileExW(temp, fullPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        hr = LastError();
        if (tries == kRenameTries || (hr != HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) &&
                                      hr != HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)))
            break;
        Sleep(kRenamePauseMs);
        hr = S_OK;
    }
    if (FAILED(hr)) DeleteFileW(temp);
    return hr;
}

// The document of the last file edited, as written: the next edit of the
// same file reads the file anyway, and only when its bytes are still the
// ones written here (no other writer came between) does it skip parsing
// them again. A store of 100,000 roles takes longer to parse than to read.
struct KeptDocument {
    std::wstring path;
    std::string bytes;
    std::string spare;  // room for the next text, already in memory
    std::unique_ptr<PolicyDocument> document;
};
std::mutex g_keptLock;
KeptDocument g_kept;

// Whoever takes the kept document owns it until it is kept again.
KeptDocument TakeKept()
{
    std::lock_guard<std::mutex> guard(g_keptLock);
    KeptDocument kept = std::move(g_kept);
    g_kept = KeptDocument();
    return kept;
}

void Keep(KeptDocument&& kept)
{
    std::lock_guard<std::mutex> guard(g_keptLock);
    g_kept = std::move(kept);
}

// Whether the file holds exactly these bytes, read a piece at a time
// rather than into a copy of its own.
HRESULT FileHolds(const std::wstring& path, const std::string& bytes, bool& same)
{
    same = false;
    Handle file(nullptr, &CloseHandle);
    LARGE_INTEGER size;
    RETURN_IF_FAILED(OpenForReading(path, file, size));
    if (static_cast<unsigned long long>(size.QuadPart) != bytes.size()) return S_OK;
    constexpr DWORD kPiece = 64 * 1024;
    std::unique_ptr<char[]> piece(new char[kPiece]);
    for (size_t at = 0; at < bytes.size();) {
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, kPiece)), read = 0;
        if (!ReadFile(file.get(), piece.get(), want, &read, nullptr)) return LastError();
        if (read == 0 || memcmp(piece.get(), bytes.data() + at, read) != 0) return S_OK;
        at += read;
    }
    char more = 0;
    DWORD read = 0;
    same = ReadFile(file.get(), &more, 1, &read, nullptr) && read == 0;
    return S_OK;
}

constexpr DWORD kWeakTagPauseMs = 250;

const char kNoTagReason[] =
    "the server gives the policy without a strong ETag: writing it back could undo another "
    "writer's change";

HRESULT StatusFailure(DWORD status, std::string& reason)
{
    reason = "the server answered HTTP " + std::to_string(status);
    return standin::HttpStatusError(status);
}

// Writers that met keep apart: a pause that grows with each try and differs
// between processes.
void PauseBeforeRetry(int tries)
{
    DWORD spread = (GetCurrentProcessId() ^ GetTickCount()) % 25u;
    Sleep(static_cast<DWORD>(tries) * 20u + spread);
}

}  // namespace

HRESULT EditPolicyOnServer(const std::wstring& url,
                           const std::function<HRESULT(PolicyDocument&)>& edit, std::string& reason)
{
    reason.clear();
    standin::HttpAddress address;
    if (!standin::ParseHttpAddress(url.c_str(), address)) return E_INVALIDARG;
    for (int tries = 1; tries <= kServerWriteTries; ++tries) {
        standin::HttpResponse current;
        HRESULT hr = standin::SendHttpRequest(address, standin::HttpRequest(), current, reason);
        if (FAILED(hr)) return hr;
        if (current.status != HTTP_STATUS_OK) return StatusFailure(current.status, reason);
        if (current.etag.empty()) {
            reason = kNoTagReason;
            return kNoConditionalWrite;
        }
        // If-Match compares strongly, so a weak tag never matches. Servers
        // that tag by time give one for a second after a change: wait.
        if (current.etag.compare(0, 2, L"W/") == 0) {
            if (tries == kServerWriteTries) {
                reason = kNoTagReason;
                return kNoConditionalWrite;
            }
            Sleep(kWeakTagPauseMs);
            continue;
        }
        PolicyDocument document;
        hr = document.Load(current.body);
        if (SUCCEEDED(hr)) hr = edit(document);
        if (FAILED(hr)) {
            reason.clear();  // the policy's own rules: its code says it
            return hr;
        }
        auto after = std::make_shared<const std::string>(document.Text());
        if (*after == current.body) return S_OK;

        standin::HttpRequest put;
        put.verb = L"PUT";
        put.headers = L"If-Match: " + current.etag + L"\r\nContent-Type: text/plain\r\n";
        put.body = std::move(after);
        put.readBody = false;  // the status says it all
        standin::HttpResponse written;
        hr = standin::SendHttpRequest(address, put, written, reason);
        if (FAILED(hr)) return hr;
        if (written.status == HTTP_STATUS_OK || written.status == HTTP_STATUS_CREATED ||
            written.status == HTTP_STATUS_NO_CONTENT)
            return S_OK;
        if (written.status != HTTP_STATUS_PRECOND_FAILED)
            return StatusFailure(written.status, reason);
        if (tries < kServerWriteTries) PauseBeforeRetry(tries);
    }
    reason = "other writers kept changing the policy: each of " +
             std::to_string(kServerWriteTries) + " writes found it changed since it was read";
    return kPolicyConflict;
}

HRESULT EditPolicyFile(const std::wstring& path,
                       const std::function<HRESULT(PolicyDocument&)>& edit)
{
    if (path.empty()) return kNoPolicyFile;
    std::wstring fullPath = FullPath(path);
    Handle lock = OpenWriterLock(fullPath);
    if (!lock) return LastError();
    DWORD wait = WaitForSingleObject(lock.get(), kLockWaitMs);
    // An abandoned lock is fine: the file was only ever replaced whole.
    if (wait == WAIT_TIMEOUT) return kPolicyBusy;
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return LastError();
    struct Unlock {
        HANDLE mutex;
        ~Unlock() { ReleaseMutex(mutex); }
    } unlock{lock.get()};

    KeptDocument kept = TakeKept();
    bool same = false;
    HRESULT hr = S_OK;
    if (kept.document && kept.path == fullPath) hr = FileHolds(fullPath, kept.bytes, same);
    if (FAILED(hr)) return hr;
    std::string before = std::move(kept.bytes);
    std::unique_ptr<PolicyDocument> document = std::move(kept.document);
    if (!same) {
        hr = ReadWholeFile(fullPath, before);
        if (FAILED(hr)) return hr;
        document = std::make_unique<PolicyDocument>();
        hr = document->Load(before);
    }
    // A failed edit may have changed the document halfway: it is not kept.
    if (SUCCEEDED(hr)) hr = edit(*document);
    if (FAILED(hr)) return hr;
    std::string after = std::move(kept.spare);
    document->Text(after);
    if (after != before) hr = ReplaceAtomically(fullPath, after);
    if (SUCCEEDED(hr) && document->Commit())
        Keep(KeptDocument{fullPath, std::move(after), std::move(before), std::move(document)});
    return hr;
}

}  // namespace secclient
