// The policy reader against damaged and hostile texts, through the library's
// own calls: a text loads whole or fails, and a damaged copy of a policy
// never grants what the policy itself does not. Grants only add up (there
// is no record that denies), so a copy that lost or spoiled text may grant
// less, never more. Every case is made from a fixed start value: a failing
// case fails again, under the name the failure gives.
#include "KIVAuthorize.h"
#include "KivAuthControl.h"
#include "ProcAddress.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Each mask is closed under the damage done below: any of its digits left
// out (a cut, a dropped byte, a line broken in two) leaves bits it holds
// already. A cut "0x80000001" would read as "0x8", a new grant.
const char kPolicy[] =
    "policy | 1\r\n"
    "# a small store\r\n"
    "role | {11111111-1111-1111-1111-111111111111} | Readers | Read only\r\n"
    "role | {22222222-2222-2222-2222-222222222222} | Writers | Write | and more\n"
    "role | {33333333-3333-3333-3333-333333333333} | Idle\n"
    "role-user  | Readers | D\\alice\r\n"
    "role-user  | {22222222-2222-2222-2222-222222222222} | D\\bob\n"
    "role-group | writers | D\\Editors\n"
    "group-member | D\\Editors | D\\carol\n"
    "\n"
    "role-grant | Readers | CN=Doc,O=T | 1\n"
    "role-grant | Writers | CN=Doc,O=T | 6\r\n"
    "role-grant | {22222222-2222-2222-2222-222222222222} | CN=Log,O=T | 0xFF\n"
    "grant | D\\bob  | CN=Doc,O=T | 15\n"
    "grant | D\\dave | CN=Log,O=T | 31\n"
    "application | App | APP-1\n";

const char kBom[] = "\xEF\xBB\xBF";
constexpr unsigned long kAllCaches = 0xFFFF;

// What is asked of every text: no account or DN here is one byte of damage
// away from another that the policy names.
struct Check {
    bool role;  // CheckRoleAccess rather than CheckAccess
    const char* who;
    const char* dn;
    unsigned long permission;
};

std::vector<Check> MakeChecks()
{
    const char* const accounts[] = {"D\\alice", "D\\bob", "D\\carol", "D\\dave", "D\\mallory"};
    const char* const roles[] = {"Readers", "Writers", "Idle",
                                 "{22222222-2222-2222-2222-222222222222}", "Ghost"};
    const char* const dns[] = {"CN=Doc,O=T", "CN=Log,O=T", "CN=Other,O=T"};
    // Every bit the policy grants and some it does not, one at a time (a
    // check asks for all of its bits), and two masks of several.
    const unsigned long permissions[] = {1,    2,    4,     8,          0x10, 0x20,
                                         0x40, 0x80, 0x100, 0x80000000, 6,    0xFF};
    std::vector<Check> checks;
    for (const char* dn : dns) {
        for (unsigned long permission : permissions) {
            for (const char* account : accounts) checks.push_back({false, account, dn, permission});
            for (const char* role : roles) checks.push_back({true, role, dn, permission});
        }
    }
    return checks;
}

const std::vector<Check>& Checks()
{
    static const std::vector<Check> checks = MakeChecks();
    return checks;
}

// One character per check: '1' granted, '0' denied.
std::string AnswersOf(CKIVAuthorize& auth)
{
    std::string answers;
    for (const Check& c : Checks()) {
        bool granted = c.role ? auth.CheckRoleAccess(c.who, c.dn, c.permission)
                              : auth.CheckAccess(c.who, c.dn, c.permission);
        answers += granted ? '1' : '0';
    }
    return answers;
}

std::string Describe(const Check& c)
{
    char text[256];
    snprintf(text, sizeof text, "%s(%s, %s, 0x%lx)", c.role ? "CheckRoleAccess" : "CheckAccess",
             c.who, c.dn, c.permission);
    return text;
}

// A text as C would write it, cut to its first 300 characters.
std::string Printable(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < 300; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    if (text.size() > 300) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

// A fixed sequence of numbers (xorshift), the same in every run.
class Sequence {
public:
    explicit Sequence(uint64_t start) : m_state(start) {}
    size_t Below(size_t bound)
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<size_t>(m_state % bound);
    }

private:
    uint64_t m_state;
};

// Found by name, as the module finds it.
long SetSecurityServer(const wchar_t* reserved, const wchar_t* url)
{
    static auto export_ = GetProcAddressAs<SetSecurityServerFn>(GetModuleHandleW(L"KivAuth.dll"),
                                                                "SetSecurityServer");
    return export_ ? export_(reserved, url) : E_NOTIMPL;
}

enum class Expect { Either, Fails, SameAsPolicy };

// The policy source is a file: the reader gets every byte, NULs included.
class PolicyFuzzTest : public testing::Test {
protected:
    void SetUp() override
    {
        KivTest_Reset();
        wchar_t folder[MAX_PATH], path[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"kfz", 0, path);
        m_path = path;
        ASSERT_EQ(S_OK, SetSecurityServer(L"", m_path.c_str()));
        Write(kPolicy);
        ASSERT_TRUE(m_held.InitCache("D\\alice", kAllCaches));
        m_policy = AnswersOf(m_held);
        // The checks see grants and denials both.
        ASSERT_NE(m_policy.find('1'), std::string::npos);
        ASSERT_NE(m_policy.find('0'), std::string::npos);
    }
    void TearDown() override
    {
        KivTest_Reset();
        DeleteFileW(m_path.c_str());
    }

    void Write(const std::string& text) { ASSERT_TRUE(WriteFileBytes(m_path, text)); }

    // Reads the text into a new object and into an object that holds the
    // policy, and checks what each then answers. False once a case failed.
    bool Try(const std::string& text, const std::string& name, Expect expect = Expect::Either)
    {
        SCOPED_TRACE(name + ": \"" + Printable(text) + "\"");
        Write(text);
        CKIVAuthorize fresh;
        bool loaded = fresh.InitCache("D\\alice", kAllCaches);
        ++(loaded ? m_loaded : m_refused);
        VARTYPE errors = V_VT(fresh.GetLastVokErrors());
        std::string answers = AnswersOf(fresh);
        if (expect == Expect::Fails) {
            EXPECT_FALSE(loaded);
        }
        if (expect == Expect::SameAsPolicy) {
            EXPECT_TRUE(loaded);
            EXPECT_EQ(m_policy, answers);
        }
        if (loaded) {
            EXPECT_EQ(VT_EMPTY, errors);
            for (size_t i = 0; i < answers.size(); ++i)
                if (answers[i] == '1' && m_policy[i] == '0')
                    ADD_FAILURE() << "granted, which the policy does not: "
                                  << Describe(Checks()[i]);
        } else {
            // Without a cache every check is denied.
            EXPECT_EQ(VT_ARRAY | VT_BSTR, errors);
            EXPECT_EQ(std::string(answers.size(), '0'), answers);
        }

        // A refresh takes the new store whole or keeps the old one whole.
        bool refreshed = false;
        bool reloaded = m_held.RefreshCache(refreshed, kAllCaches);
        EXPECT_EQ(loaded, reloaded);
        EXPECT_EQ(reloaded ? answers : m_policy, AnswersOf(m_held));
        if (reloaded) {
            Write(kPolicy);
            EXPECT_TRUE(m_held.RefreshCache(refreshed, kAllCaches));
        }
        return !HasFailure();
    }

    std::wstring m_path;
    size_t m_loaded = 0, m_refused = 0;  // cases, so that neither answer goes untested
    CKIVAuthorize m_held;                // holds the policy between cases
    std::string m_policy;                // its answers
};

TEST_F(PolicyFuzzTest, NoCutGrantsMoreThanTheWholePolicy)
{
    for (const std::string& whole : {std::string(kPolicy), kBom + std::string(kPolicy)}) {
        for (size_t length = 0; length <= whole.size(); ++length) {
            Expect expect = length == whole.size() ? Expect::SameAsPolicy : Expect::Either;
            if (!Try(whole.substr(0, length), "cut at " + std::to_string(length), expect)) return;
        }
    }
    EXPECT_GT(m_loaded, 0u);
    EXPECT_GT(m_refused, 0u);
}

// Damage that writes no grant of its own: a byte left out, a line twice, a
// byte put in that no field may hold ("|" where a field has to end, a line
// break, a NUL, a byte outside ASCII), a bit flipped that turns a character
// into one outside ASCII or into itself in the other case. A flip of any
// other bit could turn a digit of a mask into another.
TEST_F(PolicyFuzzTest, NoDamagedCopyGrantsMoreThanThePolicy)
{
    const std::string inserted[] = {"|",    "\r",   "\n",   std::string(1, '\0'),
                                    "\x80", "\xA0", "\xC3", "\xFF"};
    const size_t kinds = 4 + std::size(inserted);
    Sequence next(0x243F6A8885A308D3u);
    for (int round = 0; round < 1500; ++round) {
        bool bom = next.Below(4) == 0;
        std::string text = bom ? kBom + std::string(kPolicy) : std::string(kPolicy);
        size_t at = next.Below(text.size());
        size_t kind = next.Below(kinds);
        std::string name;
        switch (kind) {
        case 0:
            name = "drop byte";
            text.erase(at, 1);
            break;
        case 1:
            name = "flip 0x80 of byte";
            text[at] = static_cast<char>(text[at] ^ 0x80);
            break;
        case 2:
            name = "flip 0x20 of byte";
            text[at] = static_cast<char>(text[at] ^ 0x20);
            break;
        case 3: {
            name = "duplicate the line of byte";
            size_t begin = text.rfind('\n', at == 0 ? 0 : at - 1);
            begin = begin == std::string::npos || at == 0 ? 0 : begin + 1;
            size_t end = text.find('\n', at);
            end = end == std::string::npos ? text.size() : end + 1;
            text.insert(end, text.substr(begin, end - begin));
            break;
        }
        default: {
            const std::string& what = inserted[kind - 4];
            name = "insert " + Printable(what) + " before byte";
            text.insert(at, what);
            break;
        }
        }
        name += " " + std::to_string(at) + (bom ? " (after a byte order mark)" : "");
        if (!Try(text, "round " + std::to_string(round) + ": " + name)) return;
    }
    EXPECT_GT(m_loaded, 0u);
    EXPECT_GT(m_refused, 0u);
}

// A bad line anywhere fails the whole text, the grant above it included:
// a reader that kept the lines before the bad one would grant D\mallory.
TEST_F(PolicyFuzzTest, ABadLineAnywhereFailsTheWholeText)
{
    const char* const badLines[] = {
        "grant | D\\mallory | CN=Doc,O=T",                          // a field short
        "grant | D\\mallory | CN=Doc,O=T | 8 | 8",                  // a field more
        "grant | D\\mallory | CN=Doc,O=T | 8x",                     // not a mask
        "grant | D\\mallory | CN=Doc,O=T | 0x100000000",            // out of range
        "grant | | CN=Doc,O=T | 8",                                 // an empty field
        "role-grant | Ghosts | CN=Doc,O=T | 8",                     // no such role
        "role | {11111111-1111-1111-1111-111111111111} | Twice",    // an identifier twice
        "role | {44444444-4444-4444-4444-44444444444} | Short id",  // no GUID
        "grants | D\\mallory | CN=Doc,O=T | 8",                     // no such record
        "policy | 1",                                               // the header again
    };
    const std::string policy = kPolicy;
    std::vector<size_t> lineStarts;
    for (size_t at = policy.find('\n'); at != std::string::npos; at = policy.find('\n', at + 1))
        lineStarts.push_back(at + 1);
    for (size_t at : lineStarts) {
        for (const char* bad : badLines) {
            std::string text = policy;
            text.insert(at, "grant | D\\mallory | CN=Doc,O=T | 8\n" + std::string(bad) + "\r\n");
            if (!Try(text, std::string(bad) + " at byte " + std::to_string(at), Expect::Fails))
                return;
        }
    }
}

// Texts made to hurt: odd headers, repetition, very long fields, a byte
// order mark with bytes after it that are no UTF-8.
TEST_F(PolicyFuzzTest, HostileTextsLoadWholeOrFail)
{
    const std::string policy = kPolicy;
    const std::string body = policy.substr(policy.find('\n') + 1);
    auto repeated = [](const std::string& line, size_t times) {
        std::string text;
        text.reserve(line.size() * times);
        for (size_t i = 0; i < times; ++i) text += line;
        return text;
    };
    std::string manyRoles;
    for (int i = 0; i < 5000; ++i) {
        char line[96];
        snprintf(line, sizeof line, "role | {%08X-0000-4000-8000-000000000000} | R%d\n", i + 0x100,
                 i);
        manyRoles += line;
    }
    std::string lineFeeds = policy, returns = policy;
    for (size_t at; (at = lineFeeds.find("\r\n")) != std::string::npos;) lineFeeds.erase(at, 1);
    for (size_t at = 0; (at = returns.find('\n', at)) != std::string::npos; at += 2)
        if (at == 0 || returns[at - 1] != '\r') returns.insert(at, "\r");

    const struct {
        const char* name;
        std::string text;
        Expect expect;
    } cases[] = {
        {"empty", "", Expect::Fails},
        {"blank lines and comments only", "\r\n\n  \t\n# policy | 1\n", Expect::Fails},
        {"header alone without its version", "policy\n" + body, Expect::Fails},
        {"another version", "policy | 2\n" + body, Expect::Fails},
        {"version with a field more", "policy | 1 | 1\n" + body, Expect::Fails},
        {"header after a record", body + "policy | 1\n", Expect::Fails},
        {"header twice", "policy | 1\n" + policy, Expect::Fails},
        {"header behind blanks, in capitals", "\t POLICY \t|\t 1 \t\r\n" + body,
         Expect::SameAsPolicy},
        {"line feeds only", lineFeeds, Expect::SameAsPolicy},
        {"carriage return and line feed only", returns, Expect::SameAsPolicy},
        {"no final line end", policy.substr(0, policy.size() - 1), Expect::SameAsPolicy},
        {"byte order mark", kBom + policy, Expect::SameAsPolicy},
        {"byte order mark twice", kBom + std::string(kBom) + policy, Expect::Fails},
        // UTF-8 converts exactly or the load fails: by best fit the fullwidth
        // letter was "D\\mallory", who then held the grant.
        {"byte order mark, then a lone continuation byte", kBom + policy + "# \x80\n",
         Expect::Fails},
        {"byte order mark, then an overlong slash", kBom + policy + "grant | D\\\xC0\xAF | X | 1\n",
         Expect::Fails},
        {"byte order mark, then an encoded surrogate",
         kBom + policy + "grant | D\\\xED\xA0\x80 | CN=Doc,O=T | 1\n", Expect::Fails},
        {"byte order mark, then a sequence cut short", kBom + policy + "# \xE2\x82", Expect::Fails},
        {"byte order mark, then bytes of the code page", kBom + policy + "# caf\xE9\n",
         Expect::Fails},
        {"byte order mark, then a look-alike of an account",
         kBom + policy +
             "grant | D\\\xEF\xBD\x8D"
             "allory | CN=Doc,O=T | 1\n",
         Expect::Fails},
        {"byte order mark, then a letter the code page lacks", kBom + policy + "# \xD0\x98\n",
         Expect::Fails},
        {"the same member 20,000 times",
         policy + repeated("role-user | Readers | D\\alice\n", 20000), Expect::SameAsPolicy},
        {"the same grant 20,000 times",
         policy + repeated("grant | D\\bob | CN=Doc,O=T | 1\n", 20000), Expect::SameAsPolicy},
        {"5,000 roles more", policy + manyRoles, Expect::SameAsPolicy},
        {"a role name of 1 MB",
         policy + "role | {44444444-4444-4444-4444-444444444444} | " + std::string(1 << 20, 'n') +
             "\n",
         Expect::SameAsPolicy},
        {"an account of 1 MB",
         policy + "grant | " + std::string(1 << 20, 'a') + " | CN=Doc,O=T | 15\n",
         Expect::SameAsPolicy},
        {"a description of 1 MB of bars",
         policy + "role | {44444444-4444-4444-4444-444444444444} | Bars | " +
             std::string(1 << 20, '|') + "\n",
         Expect::SameAsPolicy},
        {"a mask of 100,000 digits",
         policy + "grant | D\\bob | CN=Doc,O=T | " + std::string(100000, '0') + "1\n",
         Expect::SameAsPolicy},
        {"a mask out of range", policy + "grant | D\\bob | CN=Doc,O=T | 4294967296\n",
         Expect::Fails},
        {"a line of 1 MB of bars", policy + std::string(1 << 20, '|') + "\n", Expect::Fails},
        {"1 MB of blanks after the header", "policy | 1" + std::string(1 << 20, ' ') + "\n" + body,
         Expect::SameAsPolicy},
        {"1 MB of line ends", std::string(1 << 20, '\n') + policy, Expect::SameAsPolicy},
        {"carriage returns alone", "policy | 1\r\r\r" + body, Expect::Fails},
        {"a NUL in a comment", policy + std::string("# \0 here\n", 9), Expect::Fails},
    };
    for (const auto& c : cases)
        if (!Try(c.text, c.name, c.expect)) return;
}

}  // namespace
