// Role names, identifiers and member names: the checks, their messages and
// the audit events every rejection produces, and the normal forms.
#include "Events.h"
#include "Results.h"
#include "Messages.h"
#include "OperationNames.h"
#include "Validation.h"

namespace {

std::wstring SystemText(HRESULT code)
{
    BstrText text = GetSystemMessage(code);
    return text.wide() ? text.wide() : L"";
}

struct NameCase {
    const char* what;
    std::wstring name;
    bool null;
    HRESULT code;
    // The module's message of the first event; empty when none is expected.
    std::wstring message;
    std::wstring extra;
};

std::vector<NameCase> NameCases()
{
    const std::wstring longest(254, L'x'), tooLong(255, L'x');
    const std::wstring longWithNumberSign = std::wstring(254, L'x') + L"#";
    return {
        {"slash", L"Sales/East", false, AUTH_E_BAD_OBJECT_NAME,
         L"Bad object name 'Sales/East'. Character '/' is not allowed.", L"Sales/East"},
        {"first illegal character wins", L"a{b}", false, AUTH_E_BAD_OBJECT_NAME,
         L"Bad object name 'a{b}'. Character '{' is not allowed.", L"a{b}"},
        {"backslash", L"PLANT\\Ops", false, AUTH_E_BAD_OBJECT_NAME,
         L"Bad object name 'PLANT\\Ops'. Character '\\' is not allowed.", L"PLANT\\Ops"},
        {"254 characters", longest, false, S_OK, L"", L""},
        {"255 characters", tooLong, false, AUTH_E_ROLE_NAME_TOO_LONG,
         L"Invalid name. The Role name can not exceed 254 characters. Requested length: 255, Name: "
         L"'" +
             tooLong + L"'.",
         L"255"},
        {"255 with a number sign", longWithNumberSign, false, AUTH_E_BAD_OBJECT_NAME,
         L"Bad object name '" + longWithNumberSign + L"'. Character '#' is not allowed.",
         longWithNumberSign},
        {"padded", L"  Admin  ", false, S_OK, L"", L""},
        {"three spaces", L"   ", false, S_OK, L"", L""},
        {"trailing tab", L"Admin\t", false, S_OK, L"", L""},
        {"null", L"", true, AUTH_E_PARAM_NULL_OR_EMPTY,
         L"Required parameter 'Name' can not be NULL or empty. Value = '<null>'.", L"Name"},
        {"empty", L"", false, AUTH_E_PARAM_NULL_OR_EMPTY,
         L"Required parameter 'Name' can not be NULL or empty. Value = '<empty>'.", L"Name"},
    };
}

TEST(CheckRoleName, CodesMessagesAndEvents)
{
    for (const NameCase& c : NameCases()) {
        SCOPED_TRACE(c.what);
        FakeAuditRegistration audit;
        ASSERT_EQ(S_OK, audit.registered());
        ErrorContext context(op::RolesCollection_Add);
        context.SetTextParam(1, param::Name, c.null ? nullptr : c.name.c_str());
        EXPECT_EQ(c.code, CheckRoleName(context, param::Name, c.null ? nullptr : c.name.c_str()));

        std::vector<Event> events = Events(audit);
        if (c.code == S_OK) {
            EXPECT_TRUE(events.empty());
            continue;
        }
        if (c.code == AUTH_E_BAD_OBJECT_NAME) {
            // First the check itself with the module's text, then the caller with the system's.
            ASSERT_EQ(2u, events.size());
            EXPECT_EQ(L"::ValidateName", events[0].operation);
            EXPECT_EQ(c.code, events[0].code);
            EXPECT_EQ(c.message, events[0].message);
            EXPECT_EQ(Arg(c.extra), events[0].extra);
            EXPECT_TRUE(events[0].request);
            ASSERT_EQ(1u, events[0].params.size());
            EXPECT_EQ(L"sName", events[0].params[0].first);
            EXPECT_EQ(Arg(c.name), events[0].params[0].second);

            EXPECT_EQ(L"CKQSecRolesCollection::Add", events[1].operation);
            EXPECT_EQ(c.code, events[1].code);
            EXPECT_EQ(SystemText(c.code), events[1].message);
            EXPECT_EQ(Arg(), events[1].extra);
            EXPECT_FALSE(events[1].request);
        } else {
            ASSERT_EQ(1u, events.size());
            EXPECT_EQ(L"CKQSecRolesCollection::Add", events[0].operation);
            EXPECT_EQ(c.code, events[0].code);
            EXPECT_EQ(c.message, events[0].message);
            EXPECT_EQ(Arg(c.extra), events[0].extra);
            EXPECT_TRUE(events[0].request);
            ASSERT_EQ(1u, events[0].params.size());
            EXPECT_EQ(c.null ? Arg(L"<NULL>") : Arg(c.name), events[0].params[0].second);
        }
    }
}

TEST(ValidateGuid, CanonicalTextOrRejection)
{
    struct Case {
        const wchar_t* text;
        HRESULT code;
        const wchar_t* normalized;  // null: stays null
    };
    const Case cases[] = {
        {nullptr, S_OK, nullptr},
        {L"", S_OK, nullptr},
        {L"{0f0fc553-4fc4-49b5-a8d7-146d155a577a}", S_OK,
         L"{0F0FC553-4FC4-49B5-A8D7-146D155A577A}"},
        {L"{DD08DC2B-AD85-41C4-A08B-ACB640067C55}", S_OK,
         L"{DD08DC2B-AD85-41C4-A08B-ACB640067C55}"},
        {L"not-a-guid", AUTH_E_INVALID_GUID, nullptr},
        {L"{0F0FC553-4FC4-49B5-A8D7-146D155A577}", AUTH_E_INVALID_GUID, nullptr},
        // A class's ProgID names a GUID, but is none.
        {L"Scripting.Dictionary", AUTH_E_INVALID_GUID, nullptr},
        {L"{0F0FC553-4FC4-49B5-A8D7-146D155A577A}x", AUTH_E_INVALID_GUID, nullptr},
    };
    for (const Case& c : cases) {
        FakeAuditRegistration audit;
        unique_bstr normalized(SysAllocString(L"left over"));
        EXPECT_EQ(c.code, ValidateGuid(c.text, normalized));
        if (c.normalized)
            EXPECT_STREQ(c.normalized, normalized.get());
        else
            EXPECT_EQ(nullptr, normalized.get());

        std::vector<Event> events = Events(audit);
        if (c.code == S_OK) {
            EXPECT_TRUE(events.empty());
            continue;
        }
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(L"::ValidateGuid", events[0].operation);
        EXPECT_EQ(std::wstring(L"Invalid GUID format '") + c.text + L"'", events[0].message);
        EXPECT_EQ(Arg(c.text), events[0].extra);
        EXPECT_TRUE(events[0].request);
        ASSERT_EQ(1u, events[0].params.size());
        EXPECT_EQ(L"sGuidIn", events[0].params[0].first);
    }
}

TEST(NormalForms, TrimSpacesOnlyTrimsSpaces)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"  Admin  ", L"Admin"},  {L"   ", L"   "},   {L"", L""},
        {L"Admin\t", L"Admin\t"},  {L" a b ", L"a b"}, {nullptr, L""},
        {L"\tAdmin ", L"\tAdmin"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(expected, TrimSpaces(text));
}

TEST(NormalForms, NormalizeRoleTextNarrowsThenTrims)
{
    EXPECT_EQ("Admin", NormalizeRoleText(L"  Admin  "));
    EXPECT_EQ("   ", NormalizeRoleText(L"   "));
    EXPECT_EQ("Admin\t", NormalizeRoleText(L"Admin\t"));
    // A character the code page lacks is refused, never made its default
    // character: "????" is another role's name.
    EXPECT_THROW(NormalizeRoleText(L" \x4E2D "), UnmappableText);
    EXPECT_EQ(L"Admin", WidenRoleText(NormalizeRoleText(L" Admin ")));
}

TEST(NormalForms, PrefixedRoleId)
{
    EXPECT_EQ(L"KIV0F0FC553-4FC4-49B5-A8D7-146D155A577A",
              MakePrefixedRoleId(L"{0F0FC553-4FC4-49B5-A8D7-146D155A577A}"));
    EXPECT_EQ(L"", MakePrefixedRoleId(L""));
    EXPECT_EQ(L"KIV", MakePrefixedRoleId(L"{"));
    EXPECT_EQ(L"KIVbc", MakePrefixedRoleId(L"abcd"));
}

TEST(NormalForms, IllegalCharactersInOrder)
{
    EXPECT_STREQ(L"\\/'\"%#:*{}", IllegalNameCharacters);
    for (const wchar_t* c = IllegalNameCharacters; *c; ++c) {
        FakeAuditRegistration audit;
        const wchar_t name[] = {L'x', *c, L'y', 0};
        EXPECT_EQ(AUTH_E_BAD_OBJECT_NAME, ValidateName(name));
    }
    FakeAuditRegistration audit;
    EXPECT_EQ(S_OK, ValidateName(L"Shift A; night (B) - \x00e9t\x00e9 \t"));
}

}  // namespace
