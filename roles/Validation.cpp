#include "Validation.h"

#include "NarrowText.h"
#include "Messages.h"
#include "OperationNames.h"

#include <cwchar>
#include <string_view>

const wchar_t IllegalNameCharacters[] = L"\\/'\"%#:*{}";

namespace {

template <class Char>
std::basic_string<Char> Trim(const std::basic_string<Char>& text, Char space)
{
    size_t first = text.find_first_not_of(space);
    if (first == std::basic_string<Char>::npos) return text;  // empty, or spaces only
    size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

// CLSIDFromString also takes a class's ProgID and answers with its CLSID:
// only the braced form of hexadecimal digits, {8-4-4-4-12}, is an identifier.
bool HasGuidShape(const wchar_t* text) noexcept
{
    static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    size_t i = 0;
    // Stops at the first character out of shape, the terminator included.
    for (; kShape[i]; ++i) {
        wchar_t c = text[i];
        bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (kShape[i] == 'x' ? !hex : c != static_cast<wchar_t>(kShape[i])) return false;
    }
    return text[i] == L'\0';
}

}  // namespace

HRESULT ValidateName(const wchar_t* name, size_t length) noexcept
{
    ErrorContext context(op::ValidateName);
    return Barrier(ReportCaught(context), [&] {
        std::wstring_view text(name, length == kUpToNul ? wcslen(name) : length);
        context.SetTextParam(1, param::sName, name, text.size());
        // The earliest position in the name wins, whatever the order of the set.
        size_t found = text.find_first_of(IllegalNameCharacters);
        if (found == std::wstring_view::npos) return S_OK;
        const wchar_t character[2] = {text[found], L'\0'};
        // The message's inserts end at a NUL; the extra text is the name whole.
        return ReportRequestError(context, AUTH_E_BAD_OBJECT_NAME, kReportKind,
                                  FormatModuleMessage(AUTH_E_BAD_OBJECT_NAME, name, character),
                                  context.ParamValue[0]);
    });
}

HRESULT ValidateGuid(const wchar_t* text, unique_bstr& normalized) noexcept
{
    normalized.reset();
    ErrorContext context(op::ValidateGuid);
    // normalized is set last: an exception leaves it empty.
    return Barrier(ReportCaught(context), [&] {
        context.SetTextParam(1, param::sGuidIn, text);
        if (IsEmptyText(text)) return S_OK;

        GUID guid;
        HRESULT hr = HasGuidShape(text) ? CLSIDFromString(const_cast<LPOLESTR>(text), &guid)
                                        : CO_E_CLASSSTRING;
        if (FAILED(hr))
            return ReportRequestError(context, AUTH_E_INVALID_GUID, kReportKind,
                                      FormatModuleMessage(AUTH_E_INVALID_GUID, text),
                                      BstrText(text));
        wchar_t canonical[64];
        if (!StringFromGUID2(guid, canonical, 64)) return REPORTED(context, E_UNEXPECTED);
        normalized = unique_bstr::copy_of(canonical);
        return hr;
    });
}

HRESULT CheckRoleName(const ErrorContext& context, const wchar_t* paramName, const wchar_t* name,
                      size_t length) noexcept
{
    return Barrier(ReportCaught(context), [&] {
        if (IsEmptyText(name)) {
            return ReportNullOrEmpty(context, paramName, name);
        }
        if (length == kUpToNul) length = wcslen(name);
        REPORT_IF_FAILED(context, ValidateName(name, length));

        if (length > MaxRoleNameLength) {
            std::wstring lengthText = std::to_wstring(length);
            return ReportRequestError(
                context, AUTH_E_ROLE_NAME_TOO_LONG, kReportKind,
                FormatModuleMessage(AUTH_E_ROLE_NAME_TOO_LONG, lengthText.c_str(), name),
                BstrText(lengthText.c_str()));
        }
        return S_OK;
    });
}

std::wstring TrimSpaces(const wchar_t* text)
{
    return Trim(std::wstring(text ? text : L""), L' ');
}

std::string NormalizeRoleText(const wchar_t* text)
{
    return Trim(WideToAcp(text).str(), ' ');
}

std::wstring WidenRoleText(const std::string& text)
{
    BstrText wide = BstrText::FromAcp(text.c_str());
    return std::wstring(wide.wide(), wide.length());
}

std::wstring MakePrefixedRoleId(const std::wstring& identifier)
{
    if (identifier.empty()) return std::wstring();
    if (identifier.size() == 1) return L"KIV";
    return L"KIV" + identifier.substr(1, identifier.size() - 2);
}
