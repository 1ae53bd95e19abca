// The shared helpers: narrowing conversions, the shared BSTR text and the
// conversion of string arrays into VARIANT arrays.
#include "BstrText.h"
#include "DebugOutput.h"
#include "ComObject.h"
#include "ComPtr.h"
#include "Results.h"
#include "ResourceOwners.h"
#include "NarrowText.h"
#include "VariantArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

TEST(NarrowText, NullEmptyAndText)
{
    EXPECT_EQ(nullptr, WideToAcp(nullptr).get());
    EXPECT_STREQ("", WideToAcp(L"").get());
    EXPECT_STREQ("PLANT\\alice", WideToAcp(L"PLANT\\alice").get());
    EXPECT_EQ(nullptr, WideToThreadAcp(nullptr).get());
    EXPECT_FALSE(WideToThreadAcp(nullptr).failed());
    EXPECT_STREQ("", WideToThreadAcp(L"").get());
    // Up to the first NUL.
    EXPECT_STREQ("ab", WideToAcp(L"ab\0cd").get());
}

// Exactly or not at all: a character that the code page (1252 here) lacks
// becomes neither a look-alike nor the default character, which would make
// the text another name.
TEST(NarrowText, TextsTheCodePageCannotHoldAreRefused)
{
    EXPECT_STREQ("caf\xE9", WideToAcp(L"caf\x00E9").get());
    EXPECT_STREQ("caf\xE9", WideToThreadAcp(L"caf\x00E9").get());
    for (const wchar_t* text : {L"\x4E2D", L"\x0101lice", L"\xFF41lice",
                                L"a\xFF5C"
                                L"b",
                                L"a\x2216"
                                L"b",
                                L"\xD800x"}) {
        EXPECT_THROW(WideToAcp(text), UnmappableText);
        EXPECT_THROW(WideToAcp({L"PLANT", L"\\", text}), UnmappableText);
        NarrowText thread = WideToThreadAcp(text);
        EXPECT_TRUE(thread.unmappable());
        EXPECT_TRUE(thread.failed());
        EXPECT_EQ(nullptr, thread.get());
    }
    // A failure of another kind is not taken for an unmappable text.
    EXPECT_FALSE(WideToCodePageBounded(CP_UTF8, L"\x4E2D\x4E2D\x4E2D\x4E2D").unmappable());
}

TEST(NarrowText, LongJoinedAndMovedTexts)
{
    // Either side of the room kept inside the object.
    for (size_t length : {126u, 127u, 128u, 129u, 300u}) {
        std::wstring wide(length, L'a');
        EXPECT_EQ(std::string(length, 'a'), WideToAcp(wide.c_str()).str()) << length;
        EXPECT_EQ(std::string(length, 'a'), WideToThreadAcp(wide.c_str()).str()) << length;
        EXPECT_EQ(std::string(length, 'a') + "\\b", WideToAcp({wide.c_str(), L"\\", L"b"}).str())
            << length;
    }
    EXPECT_STREQ("PLANT\\alice", WideToAcp({L"PLANT", L"\\", L"alice"}).get());
    EXPECT_STREQ("alice", WideToAcp({nullptr, L"alice"}).get());
    EXPECT_EQ(WideToAcp(L"caf\x00e9\\b").str(), WideToAcp({L"caf\x00e9", L"\\", L"b"}).str());

    NarrowText first = WideToAcp(L"short");
    NarrowText second = std::move(first);
    EXPECT_STREQ("short", second.get());
    EXPECT_EQ(nullptr, first.get());
    std::wstring longWide(200, L'z');
    NarrowText third = WideToAcp(longWide.c_str());
    second = std::move(third);
    EXPECT_EQ(std::string(200, 'z'), second.str());
    second = WideToCodePageBounded(CP_UTF8, L"\x4E2D\x4E2D\x4E2D\x4E2D");
    EXPECT_TRUE(second.failed());
    EXPECT_EQ(nullptr, second.get());
}

// Parts that start anywhere in an aligned 16-byte block, of every length
// around a block, joined: each narrowed block is stored whole, so what one
// part leaves past its end must never show in the text.
TEST(NarrowText, JoinedPartsAtEveryPlaceInABlock)
{
    alignas(16) wchar_t first[64], second[64];
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t length = 0; length <= 20; ++length) {
            std::wstring text;
            for (size_t i = 0; i < length; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
            // Whatever lies before and after the text in its blocks is not ASCII.
            std::fill(std::begin(first), std::end(first), L'\x00E9');
            std::fill(std::begin(second), std::end(second), L'\x4E2D');
            memcpy(first + offset, text.c_str(), (length + 1) * sizeof(wchar_t));
            memcpy(second + 7 - offset, L"XYZ", 4 * sizeof(wchar_t));
            std::string narrow(text.begin(), text.end());
            SCOPED_TRACE(testing::Message() << "offset " << offset << ", length " << length);
            EXPECT_EQ(narrow, WideToAcp(first + offset).str());
            EXPECT_EQ(narrow + "\\XYZ",
                      WideToAcp({first + offset, L"\\", second + 7 - offset}).str());
            EXPECT_EQ("XYZ" + narrow, WideToAcp({second + 7 - offset, first + offset}).str());
            EXPECT_EQ(narrow, WideToThreadAcp(first + offset).str());
            first[offset + length] = L'\x00E9';  // not ASCII, and no terminator before the next
            first[offset + length + 1] = L'\0';
            EXPECT_EQ(WideToAcp(L"\x00E9").str(), WideToAcp(first + offset).str().substr(length));
        }
    }
}

TEST(NarrowText, BoundedConversionFailsRatherThanGivingNull)
{
    // Three bytes per character in UTF-8 do not fit two per character plus two.
    NarrowText narrow = WideToCodePageBounded(CP_UTF8, L"\x4E2D\x4E2D\x4E2D\x4E2D");
    EXPECT_TRUE(narrow.failed());
    EXPECT_EQ(nullptr, narrow.get());
    // UTF-8 lacks no character, and takes no flag against look-alikes.
    EXPECT_EQ("\xE4\xB8\xAD", WideToCodePageBounded(CP_UTF8, L"\x4E2D").str());
}

// Texts whose terminator is the last thing before a page that cannot be
// read: narrowing must read nothing past the terminator's own aligned block.
TEST(NarrowText, TextsEndingJustBeforeAnUnreadablePage)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    char* pages = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, pages);
    DWORD was = 0;
    ASSERT_TRUE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &was));
    auto* pageEnd = reinterpret_cast<wchar_t*>(pages + page);

    // ASCII of every length around the block size, one non-ASCII character
    // last or first, a text the code page cannot hold, and long ones.
    std::vector<std::wstring> texts;
    for (size_t length = 0; length <= 40; ++length) {
        std::wstring text;
        for (size_t i = 0; i < length; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
        texts.push_back(text);
        if (length) texts.push_back(text.substr(1) + L"\x00E9");
        if (length) texts.push_back(L"\x00E9" + text.substr(1));
    }
    texts.push_back(L"\x4E2D");
    texts.push_back(std::wstring(127, L'x'));
    texts.push_back(std::wstring(200, L'y'));
    for (const std::wstring& text : texts) {
        wchar_t* placed = pageEnd - (text.size() + 1);
        memcpy(placed, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        bool holdable = text != L"\x4E2D";
        std::string expected;
        for (wchar_t c : text) expected += static_cast<char>(c);  // one byte each in 1252
        if (holdable) {
            EXPECT_EQ(expected, WideToAcp(placed).str()) << text.size();
            EXPECT_EQ("D\\" + expected, WideToAcp({L"D\\", placed}).str()) << text.size();
        } else {
            EXPECT_THROW(WideToAcp(placed), UnmappableText);
        }
        NarrowText thread = WideToThreadAcp(placed);
        EXPECT_EQ(!holdable, thread.unmappable()) << text.size();
        if (holdable) {
            EXPECT_EQ(expected, thread.str()) << text.size();
        }
    }
    VirtualFree(pages, 0, MEM_RELEASE);
}

TEST(BstrText, WidensAFieldOfGivenLength)
{
    // A field that fills its room has no terminator.
    const char field[4] = {'a', 'b', 'c', 'd'};
    BstrText whole = BstrText::FromAcp(field, sizeof field);
    EXPECT_STREQ(L"abcd", whole.wide());
    EXPECT_EQ(4u, whole.length());
    EXPECT_STREQ(L"ab", BstrText::FromAcp(field, 2).wide());
    BstrText empty = BstrText::FromAcp(field, 0);
    ASSERT_NE(nullptr, empty.wide());
    EXPECT_EQ(0u, empty.length());
    const char accented[] = "caf\xe9s";
    EXPECT_EQ(std::wstring(BstrText::FromAcp(accented).wide()),
              std::wstring(BstrText::FromAcp(accented, 4).wide()) + L"s");
    EXPECT_STREQ(L"caf\x00e9", BstrText::FromAcp(accented, 4).wide());
}

TEST(BstrText, SharesOneStringAndMakesANarrowCopy)
{
    BstrText text(L"Operators");
    BstrText copy = text;
    EXPECT_EQ(text.wide(), copy.wide());
    EXPECT_STREQ("Operators", copy.narrow());
    EXPECT_EQ(9u, text.length());
    BSTR out = text.copy();
    EXPECT_NE(text.wide(), out);
    EXPECT_STREQ(L"Operators", out);
    SysFreeString(out);
    EXPECT_TRUE(BstrText().empty());
    EXPECT_EQ(nullptr, BstrText().copy());
    EXPECT_TRUE(BstrText(L"").empty());
    EXPECT_STREQ(L"caf\x00e9", BstrText::FromAcp("caf\xe9").wide());
}

SAFEARRAY* Strings(std::vector<const wchar_t*> texts, LONG lower)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(texts.size()), lower};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    BSTR* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    for (size_t i = 0; i < texts.size(); ++i)
        data[i] = texts[i] ? SysAllocString(texts[i]) : nullptr;
    SafeArrayUnaccessData(array);
    return array;
}

TEST(ConvertToVariantArray, CopiesInOrderWithLowerBoundOne)
{
    unique_variant source, destination;
    V_VT(&source) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&source) = Strings({L"a", nullptr, L"c"}, -3);
    ASSERT_EQ(S_OK, ConvertToVariantArray(&source, &destination));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, V_VT(&destination));
    LONG lower = 0, upper = 0;
    SafeArrayGetLBound(V_ARRAY(&destination), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&destination), 1, &upper);
    EXPECT_EQ(1, lower);
    EXPECT_EQ(3, upper);
    VARIANT* items = nullptr;
    SafeArrayAccessData(V_ARRAY(&destination), reinterpret_cast<void**>(&items));
    BSTR* strings = nullptr;
    SafeArrayAccessData(V_ARRAY(&source), reinterpret_cast<void**>(&strings));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(VT_BSTR, V_VT(&items[i]));
    EXPECT_STREQ(L"a", V_BSTR(&items[0]));
    EXPECT_NE(strings[0], V_BSTR(&items[0]));  // a copy
    EXPECT_EQ(nullptr, V_BSTR(&items[1]));     // a null text stays null
    EXPECT_STREQ(L"c", V_BSTR(&items[2]));
    SafeArrayUnaccessData(V_ARRAY(&source));
    SafeArrayUnaccessData(V_ARRAY(&destination));
}

TEST(ConvertToVariantArray, OtherInputGivesEmpty)
{
    unique_variant number, nullArray, empty, emptyArray, destination;
    V_VT(&number) = VT_I4;
    V_VT(&nullArray) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&nullArray) = nullptr;
    V_VT(&emptyArray) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&emptyArray) = SafeArrayCreateVector(VT_BSTR, 0, 0);
    for (VARIANT* source : {static_cast<VARIANT*>(&number), static_cast<VARIANT*>(&nullArray),
                            static_cast<VARIANT*>(&empty)}) {
        V_VT(&destination) = VT_I2;
        EXPECT_EQ(S_OK, ConvertToVariantArray(source, &destination));
        EXPECT_EQ(VT_EMPTY, V_VT(&destination));
    }
    ASSERT_EQ(S_OK, ConvertToVariantArray(&emptyArray, &destination));
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, V_VT(&destination));
    destination.reset();
    EXPECT_EQ(E_INVALIDARG, ConvertToVariantArray(&number, nullptr));
    V_VT(&destination) = VT_I2;
    EXPECT_EQ(E_INVALIDARG, ConvertToVariantArray(nullptr, &destination));
    EXPECT_EQ(VT_EMPTY, V_VT(&destination));
}

// A member that notes the module's lock count when it is destroyed.
struct LockWitness {
    LONG* seen = nullptr;
    LockWitness() = default;
    LockWitness(const LockWitness&) = delete;
    LockWitness& operator=(const LockWitness&) = delete;
    ~LockWitness()
    {
        if (seen) *seen = ModuleLockCount();
    }
};

class Probe : public ComObjectRoot, public IUnknown {
public:
    static const InterfaceEntry* Interfaces() noexcept
    {
        static const InterfaceEntry entries[] = {
            INTERFACE_ENTRY(Probe, IUnknown),
            INTERFACE_ENTRY_END,
        };
        return entries;
    }
    LockWitness witness;
};

// An object's members are destroyed by the module's code: while they are,
// the module must still count the object, or it could be unloaded under it.
TEST(ComObject, ModuleLockOutlivesTheObjectsMembers)
{
    const LONG before = ModuleLockCount();
    LONG seen = -1;
    {
        com_ptr<ComObject<Probe>> plain;
        ASSERT_EQ(S_OK, ComObject<Probe>::Create(plain));
        EXPECT_EQ(before + 1, ModuleLockCount());
        plain->witness.seen = &seen;
    }
    EXPECT_EQ(before + 1, seen);
    EXPECT_EQ(before, ModuleLockCount());

    // Aggregated, with a plain object standing in for the outer one.
    com_ptr<ComObject<Probe>> outer;
    ASSERT_EQ(S_OK, ComObject<Probe>::Create(outer));
    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, CreateComInstance<Probe>(static_cast<IUnknown*>(outer.get()), IID_IUnknown,
                                             reinterpret_cast<void**>(&inner)));
    EXPECT_EQ(before + 2, ModuleLockCount());
    static_cast<ComAggObject<Probe>*>(inner)->Object()->witness.seen = &seen;
    seen = -1;
    inner->Release();
    EXPECT_EQ(before + 2, seen);
    EXPECT_EQ(before + 1, ModuleLockCount());
}

HRESULT PassOn(HRESULT result, int& line)
{
    line = __LINE__ + 1;
    RETURN_IF_FAILED(result);
    return S_OK;
}

std::string Site(int line, const char* what, HRESULT code)
{
    char site[256];
    snprintf(site, sizeof site, "tests/common/HelpersTest.cpp(%d): %s: 0x%08lX\n", line, what,
             static_cast<unsigned long>(code));
    return site;
}

// Where a failure arose goes to the debugger output: the early return names
// the failed expression, the barrier its caller's line and what was thrown.
TEST(Results, FailuresLeaveTheirSiteInTheDebuggerOutput)
{
    DebugOutputCapture debug;
    int line = 0;
    EXPECT_EQ(PassOn(S_FALSE, line), S_OK);
    EXPECT_EQ(PassOn(E_ACCESSDENIED, line), E_ACCESSDENIED);
    std::vector<std::string> expected = {Site(line, "result", E_ACCESSDENIED)};

    const struct {
        void (*thrower)();
        HRESULT code;
        const char* what;
    } cases[] = {
        {[] { throw std::bad_alloc(); }, E_OUTOFMEMORY, "out of memory"},
        {[] { throw UnmappableText(); }, HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION),
         "a text the code page cannot hold"},
        {[] { throw std::runtime_error("the reason"); }, E_UNEXPECTED, "the reason"},
        {[] { throw 42; }, E_UNEXPECTED, "an unknown exception"},
    };
    for (const auto& c : cases) {
        int barrierLine = __LINE__ + 1;
        HRESULT hr = Barrier(CaughtCode, [&]() -> HRESULT {
            c.thrower();
            return S_OK;
        });
        EXPECT_EQ(hr, c.code);
        expected.push_back(Site(barrierLine, c.what, c.code));
    }
    EXPECT_EQ(Barrier(E_FAIL, [] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(debug.Writes(), expected);
}

}  // namespace
