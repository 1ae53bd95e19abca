// The per-call record: initial state and the rules for filling its pairs.
#include "ErrorContext.h"
#include "OperationNames.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::wstring Value(const BstrText& text)
{
    return text.wide() ? text.wide() : L"(never set)";
}

TEST(ErrorContextTest, StartsWithOnlyTheOperation)
{
    ErrorContext context(op::RolesCollection_Init);
    EXPECT_STREQ(context.Operation, L"CKQSecRolesCollection::Init");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(context.ParamName[i], nullptr);
        EXPECT_EQ(context.ParamValue[i].wide(), nullptr);
    }
    EXPECT_EQ(context.OptionalText1, nullptr);
    EXPECT_EQ(context.OptionalText2, nullptr);
    EXPECT_EQ(context.OptionalText3, nullptr);
    EXPECT_EQ(context.OptionalNumber, -1);
}

TEST(ErrorContextTest, RecordsStringArguments)
{
    const struct {
        const wchar_t* argument;
        const wchar_t* recorded;
    } cases[] = {
        {nullptr, L"<NULL>"},
        {L"", L""},
        {L"Admins", L"Admins"},
        {L"  spaced / odd\\ ", L"  spaced / odd\\ "},
    };
    for (const auto& c : cases) {
        ErrorContext context(op::ValidateName);
        context.SetTextParam(1, param::sName, c.argument);
        EXPECT_EQ(context.ParamName[0], param::sName);
        ASSERT_NE(context.ParamValue[0].wide(), nullptr);
        EXPECT_EQ(Value(context.ParamValue[0]), c.recorded);
    }
}

TEST(ErrorContextTest, RecordsNumbersAsSignedDecimal)
{
    const struct {
        LONG number;
        const wchar_t* recorded;
    } cases[] = {
        {0, L"0"},
        {-1, L"-1"},
        {254, L"254"},
        {static_cast<LONG>(0x7FFFFFFF), L"2147483647"},
        // A pointer at or above 0x80000000 comes out negative.
        {static_cast<LONG>(0x80000000u), L"-2147483648"},
        {static_cast<LONG>(0x8A001230u), L"-1979706832"},
    };
    for (const auto& c : cases) {
        ErrorContext context(op::Authorization_put_AuthSecClient);
        context.SetNumberParam(1, param::pSec, c.number);
        EXPECT_STREQ(context.ParamName[0], L"(long)pSec");
        EXPECT_EQ(Value(context.ParamValue[0]), c.recorded);
    }
}

TEST(ErrorContextTest, RecordsAddressesWhole)
{
    // Signed decimal of the pointer's own width: a 64-bit address cut to 32
    // bits would name another object.
    const struct {
        ULONG_PTR address;
        const wchar_t* recorded;
    } cases[] = {
        {0, L"0"},
        {0x7FFFFFFF, L"2147483647"},
#ifdef _WIN64
        {0x80000000u, L"2147483648"},
        {0x100000000ull, L"4294967296"},
        {0x00007FFF12345678ull, L"140733498807928"},
        {0xFFFFFFFF80000000ull, L"-2147483648"},
#else
        {0x80000000u, L"-2147483648"},
        {0x8A001230u, L"-1979706832"},
#endif
    };
    for (const auto& c : cases) {
        ErrorContext context(op::Authorization_put_AuthSecClient);
        context.SetPointerParam(1, param::pSec, reinterpret_cast<const void*>(c.address));
        EXPECT_STREQ(context.ParamName[0], L"(long)pSec");
        EXPECT_EQ(Value(context.ParamValue[0]), c.recorded) << std::hex << c.address;
    }
}

TEST(ErrorContextTest, FillsEachPairInItsPlace)
{
    ErrorContext context(op::Role_AddMembers);
    context.SetTextParam(1, param::m_sName, L"Role");
    context.SetTextParam(2, param::sUser, L"DOM\\user");
    context.SetTextParam(3, param::sGroups, nullptr);
    context.SetNumberParam(4, L"n", 4);
    context.SetTextParam(0, L"ignored", L"x");
    context.SetTextParam(5, L"ignored", L"x");
    const wchar_t* names[] = {L"m_sName", L"sUser", L"sGroups", L"n"};
    const wchar_t* values[] = {L"Role", L"DOM\\user", L"<NULL>", L"4"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(context.ParamName[i], names[i]);
        EXPECT_EQ(Value(context.ParamValue[i]), values[i]);
    }
}

TEST(ErrorContextTest, CopiesShareTheirValues)
{
    ErrorContext context(op::RolesCollection_get_Item);
    context.SetTextParam(1, param::sRoleId, L"r1");
    ErrorContext copy = context;
    EXPECT_EQ(copy.ParamValue[0].wide(), context.ParamValue[0].wide());
}

}  // namespace
