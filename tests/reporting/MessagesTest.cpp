// Message texts: the system's table, the module's string table with inserts,
// and their fallbacks. FormatMessageW itself is the oracle for the system's
// texts and for how line breaks come out.
#include "Messages.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>

namespace {

// What FormatMessageW makes of a code, or nothing.
bool SystemText(DWORD code, std::wstring& text)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(0x1300, nullptr, code, 0x0400,
                                  reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (buffer) {
        text.assign(buffer, length);
        LocalFree(buffer);
    }
    return length != 0 && buffer;
}

// What FormatMessageW makes of a pattern with the inserts.
std::wstring FormatPattern(const wchar_t* pattern, const wchar_t* insert1, const wchar_t* insert2)
{
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(insert1), reinterpret_cast<DWORD_PTR>(insert2)};
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        pattern, 0, 0, reinterpret_cast<wchar_t*>(&buffer), 0, reinterpret_cast<va_list*>(args));
    std::wstring text(buffer ? buffer : L"", length);
    LocalFree(buffer);
    return text;
}

std::wstring Text(const BstrText& text)
{
    return text.wide() ? std::wstring(text.wide(), text.length()) : L"(null text)";
}

std::wstring WithoutCarriageReturns(std::wstring text)
{
    for (size_t at; (at = text.find(L"\r\n")) != std::wstring::npos;) text.erase(at, 1);
    return text;
}

TEST(GetSystemMessageTest, GivesTheSystemTextOrTheProcessErrorText)
{
    // 0x2a and 0x80041006 have no text here; the others have one.
    std::wstring text;
    ASSERT_FALSE(SystemText(0x2a, text));
    ASSERT_FALSE(SystemText(0x80041006, text));
    ASSERT_TRUE(SystemText(ERROR_ACCESS_DENIED, text));

    const struct {
        DWORD code;
        const wchar_t* fallback;
    } cases[] = {
        {0, L"Process error: 0x0"},
        {ERROR_ACCESS_DENIED, L"Process error: 0x5"},
        {26, L"Process error: 0x1a"},
        {0x2a, L"Process error: 0x2a"},
        {0x80070005, L"Process error: 0x80070005"},
        {0x8007000E, L"Process error: 0x8007000e"},
        {0x80041006, L"Process error: 0x80041006"},
        {0x80040154, L"Process error: 0x80040154"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        std::wstring expected;
        if (!SystemText(c.code, expected)) expected = c.fallback;
        EXPECT_EQ(Text(GetSystemMessage(static_cast<HRESULT>(c.code))), expected);
    }
}

TEST(GetSystemMessageTest, KeepsTheTrailingLineBreak)
{
    std::wstring system;
    ASSERT_TRUE(SystemText(ERROR_ACCESS_DENIED, system));
    std::wstring text = Text(GetSystemMessage(ERROR_ACCESS_DENIED));
    EXPECT_EQ(text, system);
    EXPECT_EQ(text.back(), L'\n');
}

// The string table as the module's texts stand, %1 and %2 as given.
struct EntryCase {
    HRESULT code;
    const wchar_t* pattern;
};

const EntryCase kEntries[] = {
    {AUTH_E_PARAM_NULL_OR_EMPTY,
     L"Required parameter '%1' can not be NULL or empty. Value = '%2'."},
    {AUTH_E_USER_NOT_ALLOWED, L"User '%1' is not allowed to alter securable information."},
    {AUTH_E_COMPLIANCE_COMPONENT_MISSING,
     L"An error occurred when attemping to modify the Security Database, operation '%1'. The "
     L"compliance "
     L"features have been activated and one of the required components is missing or "
     L"non-functional.\n\n"
     L"More details:\nCould not create one of the Alarm and Events components."},
    {AUTH_E_COMPLIANCE_SEND_FAILED,
     L"An error occurred on the server when attempting to update the Security Database.\nThe "
     L"compliance-enabling features have been activated and one of the required components is "
     L"missing or "
     L"non functional.\n\nMore details:\nThe Send function on the Alarm and Event component "
     L"failed.\n"},
    {AUTH_E_BAD_OBJECT_NAME, L"Bad object name '%1'. Character '%2' is not allowed."},
    {AUTH_E_PARAM_NULL, L"Required parameter '%1' can not be NULL."},
    {AUTH_E_INVALID_GUID, L"Invalid GUID format '%1'"},
    {AUTH_E_ROLE_NAME_TOO_LONG,
     L"Invalid name. The Role name can not exceed 254 characters. Requested length: %1, Name: "
     L"'%2'."},
    {AUTH_E_ROLE_EXISTS, L"Role '%1' already exists."},
    {AUTH_E_INVALID_POSITION, L"Invalid position. Total Roles = %1. Asked position = %2."},
    {AUTH_E_REGISTRY_ACCESS, L"Registry access problem: %1, key: '%2'"},
};

std::wstring Substitute(std::wstring text, const wchar_t* insert1, const wchar_t* insert2)
{
    for (auto [mark, insert] : {std::pair{L"%1", insert1}, std::pair{L"%2", insert2}})
        for (size_t at; (at = text.find(mark)) != std::wstring::npos;) text.replace(at, 2, insert);
    return text;
}

TEST(FormatModuleMessageTest, PutsTheInsertsIntoEachEntry)
{
    const wchar_t* insert1 = L"Name";
    const wchar_t* insert2 = L"a \"quoted\" 100% value";
    for (const EntryCase& c : kEntries) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        std::wstring text = Text(FormatModuleMessage(c.code, insert1, insert2));
        EXPECT_EQ(text, FormatPattern(c.pattern, insert1, insert2));
        EXPECT_EQ(WithoutCarriageReturns(text), Substitute(c.pattern, insert1, insert2));
    }
}

TEST(FormatModuleMessageTest, TakesNumbersAndNamesUnchanged)
{
    EXPECT_EQ(Text(FormatModuleMessage(AUTH_E_ROLE_NAME_TOO_LONG, L"300", L"  Some Role  ")),
              L"Invalid name. The Role name can not exceed 254 characters. Requested length: 300, "
              L"Name: '  Some Role  '.");
    EXPECT_EQ(Text(FormatModuleMessage(AUTH_E_INVALID_POSITION, L"3", L"-1")),
              L"Invalid position. Total Roles = 3. Asked position = -1.");
    EXPECT_EQ(Text(FormatModuleMessage(AUTH_E_PARAM_NULL_OR_EMPTY, L"Name", L"<null>")),
              L"Required parameter 'Name' can not be NULL or empty. Value = '<null>'.");
}

TEST(FormatModuleMessageTest, KeepsTheLineBreaksOf4098And4099)
{
    std::wstring missing = Text(FormatModuleMessage(AUTH_E_COMPLIANCE_COMPONENT_MISSING, L"Add"));
    std::wstring sendFailed = Text(FormatModuleMessage(AUTH_E_COMPLIANCE_SEND_FAILED));
    EXPECT_EQ(
        WithoutCarriageReturns(missing),
        L"An error occurred when attemping to modify the Security Database, operation 'Add'. The "
        L"compliance features have been activated and one of the required components is missing or "
        L"non-functional.\n\nMore details:\nCould not create one of the Alarm and Events "
        L"components.");
    EXPECT_EQ(std::count(sendFailed.begin(), sendFailed.end(), L'\n'), 5);
    EXPECT_EQ(sendFailed.back(), L'\n');
}

TEST(FormatModuleMessageTest, FallsBackToTheSystemMessageOfTheWholeCode)
{
    // Low words that name no entry of the module's table.
    for (DWORD code : {0x8004100Au, 0x8004100Bu, 0x80041010u, 0x80041FFFu}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        std::wstring expected;
        if (!SystemText(code, expected)) {
            wchar_t fallback[64];
            swprintf(fallback, 64, L"Process error: 0x%lx", static_cast<unsigned long>(code));
            expected = fallback;
        }
        EXPECT_EQ(Text(FormatModuleMessage(static_cast<HRESULT>(code), L"x")), expected);
    }
}

TEST(FormatModuleMessageTest, FindsAnyEntryByTheLowWord)
{
    // The project name's entry answers for any code whose low word is 100.
    EXPECT_EQ(Text(FormatModuleMessage(static_cast<HRESULT>(0x80040064))), L"Authorization");
}

}  // namespace
