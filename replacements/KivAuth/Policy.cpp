#include "Policy.h"

#include "Text.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>

namespace kivauth {

namespace {

// The arena blocks of a dropped store, kept for the next one: a store of
// 100,000 roles takes about 100 MB, and memory that the process has never
// touched costs more to fault in than the parse costs. A refresh reads the
// new store while the old one lives; the one after reuses the old one's
// blocks. At most kMaxKept bytes wait here.
class WarmBlocks final : public std::pmr::memory_resource {
public:
    static WarmBlocks& Instance()
    {
        static WarmBlocks* blocks = new WarmBlocks;  // outlives every store
        return *blocks;
    }

private:
    static constexpr size_t kMaxKept = size_t(256) << 20;

    void* do_allocate(size_t bytes, size_t alignment) override
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            // A block up to twice the size asked for: a store's arena asks
            // for about the same sizes again after a change.
            auto found = m_free.lower_bound(bytes);
            if (found != m_free.end() && found->first / 2 <= bytes) {
                void* block = found->second;
                m_kept -= found->first;
                m_inUse[block] = found->first;
                m_free.erase(found);
                return block;
            }
        }
        void* block = std::pmr::new_delete_resource()->allocate(bytes, alignment);
        std::lock_guard<std::mutex> guard(m_lock);
        try {
            m_inUse[block] = bytes;
        } catch (...) {
            std::pmr::new_delete_resource()->deallocate(block, bytes, alignment);
            throw;
        }
        return block;
    }

    void do_deallocate(void* block, size_t bytes, size_t alignment) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto used = m_inUse.find(block);
        size_t size = used == m_inUse.end() ? bytes : used->second;
        if (used != m_inUse.end()) m_inUse.erase(used);
        if (m_kept + size <= kMaxKept) {
            try {
                m_free.emplace(size, block);
                m_kept += size;
                return;
            } catch (...) {
                // No room to note it: let it go.
            }
        }
        std::pmr::new_delete_resource()->deallocate(block, size, alignment);
    }

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override
    {
        return this == &other;
    }

    std::mutex m_lock;
    std::multimap<size_t, void*> m_free;
    std::unordered_map<void*, size_t> m_inUse;
    size_t m_kept = 0;
};

// Thrown inside the parser for a line that is not valid.
struct BadLine {
    std::string message;
};

[[noreturn]] void Reject(std::string message)
{
    throw BadLine{std::move(message)};
}

using standin::HashOf;

// The first c in [at, end), or end. By blocks of eight bytes: the library's
// own search goes byte by byte, and every line is searched for its end and
// its bars.
const char* FindByte(const char* at, const char* end, char c) noexcept
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    const uint64_t pattern = kOnes * static_cast<unsigned char>(c);
    while (end - at >= 8) {
        uint64_t block;
        memcpy(&block, at, 8);
        block ^= pattern;
        // A zero byte, where the block holds c; nothing is reported where
        // there is none, and the byte found first is exact.
        uint64_t zero = (block - kOnes) & ~block & kHighs;
        if (zero) return at + __builtin_ctzll(zero) / 8;
        at += 8;
    }
    while (at != end && *at != c) ++at;
    return at;
}

// The value of a strict GUID text, as GuidValueOf gives it, in one pass;
// false for any other text.
bool StrictGuidValue(std::string_view text, standin::GuidValue& value) noexcept
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    uint64_t half[2] = {0, 0};
    int digits = 0;
    for (size_t i = 1; i < 37; ++i) {
        char c = text[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != '-') return false;
            continue;
        }
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            digit = static_cast<unsigned>((c | 0x20) - 'a') + 10;
        else
            return false;
        uint64_t& h = half[digits++ / 16];
        h = h << 4 | digit;
    }
    value = standin::GuidValue{half[0], half[1]};
    return true;
}

uint32_t NameHash(std::string_view folded) noexcept
{
    uint64_t hash = std::hash<std::string_view>{}(folded);
    return static_cast<uint32_t>(hash ^ hash >> 32);
}

// The first line of a UTF-8 text that does not convert exactly, and why.
// No UTF-8 sequence holds a line end, so each line converts on its own.
std::string UnconvertibleLine(std::string_view text)
{
    std::wstring wide;
    std::string acp;
    size_t number = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        ++number;
        if (!standin::WidenExact(CP_UTF8, line, wide))
            return "line " + std::to_string(number) + ": not valid UTF-8";
        if (!standin::NarrowExact(CP_ACP, wide, acp))
            return "line " + std::to_string(number) +
                   ": a character that the system code page cannot hold";
        start = end + 1;
    }
    return "the text does not convert exactly to the system code page";
}

std::string Quoted(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size() + 2);
    return quoted.append(1, '"').append(text).append(1, '"');
}

// The fields of one line, trimmed: views into the policy's text, which
// outlives them. Only what the store keeps is copied, into its arena.
class Fields {
public:
    size_t size() const noexcept { return m_count; }
    std::string_view operator[](size_t i) const noexcept { return m_fields[i]; }

    // Splits at "|". With a limit, the last field takes the rest of the line,
    // bars included.
    void Split(const char* line, size_t length, size_t limit)
    {
        m_count = 0;
        size_t start = 0;
        for (;;) {
            const char* bar = FindByte(line + start, line + length, '|');
            bool last = bar == line + length || (limit && m_count + 1 == limit);
            size_t end = last ? length : static_cast<size_t>(bar - line);
            Add(line + start, end - start);
            if (last) return;
            start = end + 1;
        }
    }

private:
    void Add(const char* text, size_t length)
    {
        while (length && (*text == ' ' || *text == '\t')) ++text, --length;
        while (length && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
        if (m_count == m_fields.size()) m_fields.emplace_back();
        m_fields[m_count++] = std::string_view(text, length);
    }

    std::vector<std::string_view> m_fields;
    size_t m_count = 0;
};

DWORD ParseMask(std::string_view text)
{
    std::string_view digits = text;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty()) Reject("a permission mask is missing");
    unsigned long long value = 0;
    for (const char* p = digits.data(); p != digits.data() + digits.size(); ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a') + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A') + 10;
        else
            Reject("bad permission mask " + Quoted(text));
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) Reject("permission mask out of range " + Quoted(text));
    }
    return static_cast<DWORD>(value);
}

std::string_view Required(std::string_view field, const char* what)
{
    if (field.empty()) Reject(std::string("the ") + what + " is empty");
    return field;
}

// A folded copy of a check's text, kept on the stack when short: a check
// folds its account and its DN, and heap copies of them cost more than the
// lookups themselves. Folds as FoldCase does.
class FoldedKey {
public:
    explicit FoldedKey(std::string_view text)
    {
        if (text.size() >= sizeof m_short) {
            m_long = FoldCase(std::string(text));
            m_view = m_long;
            return;
        }
        bool ascii = true;
        for (size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            else if (static_cast<unsigned char>(c) >= 0x80)
                ascii = false;
            m_short[i] = c;
        }
        if (!ascii) CharLowerBuffA(m_short, static_cast<DWORD>(text.size()));
        m_view = std::string_view(m_short, text.size());
    }
    FoldedKey(const FoldedKey&) = delete;
    FoldedKey& operator=(const FoldedKey&) = delete;

    std::string_view view() const noexcept { return m_view; }

private:
    char m_short[128];
    std::string m_long;
    std::string_view m_view;
};

// "role|{GUID}|n" and its line end.
constexpr size_t kShortestRoleLine = 46;

// The lines that may hold a record: neither blank nor a comment.
size_t RecordLines(const std::string& text)
{
    size_t count = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = static_cast<size_t>(
            FindByte(text.data() + start, text.data() + text.size(), '\n') - text.data());
        size_t first = start;
        while (first < end && (text[first] == ' ' || text[first] == '\t' || text[first] == '\r'))
            ++first;
        if (first < end && text[first] != '#') ++count;
        start = end + 1;
    }
    return count;
}

}  // namespace

// Reads a policy line by line; each record kind has a fixed number of fields.
class Policy::Parser {
public:
    explicit Parser(Policy& policy) : m_policy(policy) {}

    void Line(const char* line, size_t length)
    {
        while (length && (*line == ' ' || *line == '\t')) ++line, --length;
        while (length && (line[length - 1] == ' ' || line[length - 1] == '\t')) --length;
        if (!length || line[0] == '#') return;
        size_t kindLength = static_cast<size_t>(FindByte(line, line + length, '|') - line);
        while (kindLength && (line[kindLength - 1] == ' ' || line[kindLength - 1] == '\t'))
            --kindLength;
        std::string_view kind = FoldKind(line, kindLength);
        if (!m_sawHeader) {
            m_fields.Split(line, length, 0);
            if (kind != "policy" || m_fields.size() != 2 || m_fields[1] != "1")
                Reject("the policy must begin with \"policy | 1\"");
            m_sawHeader = true;
            return;
        }
        static const Kind kKinds[] = {
            {"role", 3, 4, true, &Parser::RoleRecord},
            {"role-user", 3, 3, false, &Parser::RoleUser},
            {"role-group", 3, 3, false, &Parser::RoleGroup},
            {"group-member", 3, 3, false, &Parser::GroupMember},
            {"grant", 4, 4, false, &Parser::Grant},
            {"role-grant", 4, 4, false, &Parser::RoleGrant},
            {"application", 3, 3, false, &Parser::ApplicationRecord},
            {"secure-group", 4, 4, false, &Parser::SecureGroupRecord},
            {"secured-object", 5, 5, false, &Parser::SecuredObjectRecord},
        };
        for (const Kind& k : kKinds) {
            if (kind != k.name) continue;
            m_fields.Split(line, length, k.restInLast ? k.maxFields : 0);
            if (m_fields.size() < k.minFields || m_fields.size() > k.maxFields)
                Reject(Quoted(k.name) + " takes " + std::to_string(k.minFields - 1) +
                       (k.minFields == k.maxFields ? std::string()
                                                   : " or " + std::to_string(k.maxFields - 1)) +
                       " fields");
            (this->*k.handler)(m_fields);
            return;
        }
        Reject("unknown record " + Quoted(kind));
    }

    void End()
    {
        if (!m_sawHeader) Reject("the policy must begin with \"policy | 1\"");
        // Several grants of one role on one DN add up.
        for (DnGrants* dn : m_severalRoles) {
            auto& roles = dn->roles;
            std::sort(roles.begin(), roles.end());
            size_t kept = 0;
            for (size_t i = 0; i < roles.size(); ++i) {
                if (kept && roles[kept - 1].first == roles[i].first)
                    roles[kept - 1].second |= roles[i].second;
                else
                    roles[kept++] = roles[i];
            }
            roles.resize(kept);
        }
    }

private:
    struct Kind {
        const char* name;
        size_t minFields;  // the kind included
        size_t maxFields;
        bool restInLast;  // the last field may hold "|"
        void (Parser::*handler)(const Fields&);
    };

    // Record kinds compare without regard to case: the kind of a line is
    // folded once, as FoldCase does, and compared with each kind's name.
    std::string_view FoldKind(const char* text, size_t length)
    {
        bool ascii = length <= sizeof m_kind;
        for (size_t i = 0; ascii && i < length; ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            else if (static_cast<unsigned char>(c) >= 0x80)
                ascii = false;
            m_kind[i] = c;
        }
        if (ascii) return std::string_view(m_kind, length);
        m_longKind = FoldCase(std::string(text, length));
        return m_longKind;
    }

    void RoleRecord(const Fields& f)
    {
        // The value of a strict GUID text stands for that text alone.
        standin::GuidValue id;
        if (!StrictGuidValue(f[1], id)) Reject("bad role identifier " + Quoted(f[1]));
        std::string_view name = Required(f[2], "role name");
        uint32_t index = static_cast<uint32_t>(m_policy.m_roles->size());
        Canonical(f[1]);
        if (m_policy.FindRoleById(id)) Reject("role identifier " + m_canonicalId + " given twice");
        std::string_view folded = Fold(m_key, name);
        if (m_policy.FindFolded(folded)) Reject("role name " + Quoted(name) + " given twice");
        m_policy.m_roleById.Add(HashOf(id), index);
        m_policy.m_roleIds.push_back(id);
        m_policy.m_roleByName.Add(NameHash(folded), index);
        m_policy.m_foldedNames.push_back(m_policy.Keep(folded));
        m_policy.m_roles->push_back(Role{m_policy.Keep(m_canonicalId), m_policy.Keep(name),
                                         f.size() > 3 ? m_policy.Keep(f[3]) : std::string_view(),
                                         std::pmr::vector<std::string_view>(&m_policy.m_arena),
                                         std::pmr::vector<std::string_view>(&m_policy.m_arena)});
    }

    // As FindRole, with the folded name kept from line to line.
    uint32_t RoleIndex(std::string_view idOrName)
    {
        Required(idOrName, "role");
        const Role* role = nullptr;
        standin::GuidValue id;
        if (StrictGuidValue(idOrName, id)) {
            role = Nearby(m_policy.m_roleIds, id, [&] { return m_policy.FindRoleById(id); });
        } else {
            std::string_view folded = Fold(m_key, idOrName);
            role =
                Nearby(m_policy.m_foldedNames, folded, [&] { return m_policy.FindFolded(folded); });
        }
        const auto& roles = *m_policy.m_roles;
        if (!role) Reject("role " + Quoted(idOrName) + " is not declared above");
        m_lastRole = static_cast<uint32_t>(role - roles.data());
        return m_lastRole;
    }

    // The role whose entry in keys (the roles' identifiers or folded names,
    // by role) is key. Lines that name a role mostly follow its own, or the
    // line before: those roles are tried before the table (find), whose
    // entries a store of 100,000 roles spreads beyond the processor's caches.
    template <class Keys, class Key, class Find>
    const Role* Nearby(const Keys& keys, const Key& key, Find find) const
    {
        const auto& roles = *m_policy.m_roles;
        if (!keys.empty() && keys.back() == key) return &roles.back();
        if (m_lastRole < keys.size() && keys[m_lastRole] == key) return &roles[m_lastRole];
        return find();
    }

    // The identifier in upper case, in a buffer kept from line to line.
    void Canonical(std::string_view id)
    {
        m_canonicalId.assign(id);
        for (char& c : m_canonicalId)
            if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }

    void RoleUser(const Fields& f)
    {
        uint32_t index = RoleIndex(f[1]);
        std::string_view user = Required(f[2], "user");
        (*m_policy.m_roles)[index].users.push_back(m_policy.Keep(user));
        AddOnce(m_policy.Entry(*m_policy.m_rolesOfUser, Fold(m_key, user)), index);
    }

    void RoleGroup(const Fields& f)
    {
        uint32_t index = RoleIndex(f[1]);
        std::string_view group = Required(f[2], "group");
        (*m_policy.m_roles)[index].groups.push_back(m_policy.Keep(group));
        AddOnce(m_policy.Entry(*m_policy.m_rolesOfGroup, Fold(m_key, group)), index);
    }

    void GroupMember(const Fields& f)
    {
        std::string_view group = Fold(m_key, Required(f[1], "group"));
        auto& groups = m_policy.Entry(*m_policy.m_groupsOfAccount,
                                      Fold(m_otherKey, Required(f[2], "account")));
        if (std::find(groups.begin(), groups.end(), group) == groups.end())
            groups.push_back(m_policy.Keep(group));
    }

    void Grant(const Fields& f)
    {
        DWORD mask = ParseMask(f[3]);
        DnGrants& onDn = m_policy.Entry(*m_policy.m_grants, Fold(m_key, Required(f[2], "DN")));
        m_policy.Entry(onDn.accounts, Fold(m_otherKey, Required(f[1], "account"))) |= mask;
    }

    void RoleGrant(const Fields& f)
    {
        uint32_t index = RoleIndex(f[1]);
        DWORD mask = ParseMask(f[3]);
        DnGrants& onDn = m_policy.Entry(*m_policy.m_grants, Fold(m_key, Required(f[2], "DN")));
        onDn.roles.emplace_back(index, mask);
        // Kept aside, so that the end need not walk every DN's entry.
        if (onDn.roles.size() == 2) m_severalRoles.push_back(&onDn);
    }

    // The folded text in a buffer kept from line to line.
    static std::string_view Fold(std::string& buffer, std::string_view text)
    {
        buffer.assign(text);
        buffer = FoldCase(std::move(buffer));
        return buffer;
    }

    Application& ApplicationNamed(std::string_view name)
    {
        std::string key = FoldCase(std::string(Required(name, "application")));
        auto found = m_policy.m_applicationByName.find(key);
        if (found != m_policy.m_applicationByName.end())
            return m_policy.m_applications[found->second];
        m_policy.m_applicationByName.emplace(key, m_policy.m_applications.size());
        m_policy.m_applications.push_back(Application{std::string(name), {}, {}, {}, {}});
        return m_policy.m_applications.back();
    }

    void ApplicationRecord(const Fields& f)
    {
        Application& application = ApplicationNamed(f[1]);
        if (!application.id.empty()) Reject("application " + Quoted(f[1]) + " given twice");
        application.id = Required(f[2], "application id");
    }

    void SecureGroupRecord(const Fields& f)
    {
        Application& application = ApplicationNamed(f[1]);
        std::string name(Required(f[2], "secure group"));
        if (!application.groupByName.emplace(FoldCase(name), application.groups.size()).second)
            Reject("secure group " + Quoted(name) + " given twice");
        application.groups.push_back(
            SecureGroup{name, std::string(Required(f[3], "secure group id")), {}, {}});
    }

    void SecuredObjectRecord(const Fields& f)
    {
        Application& application = ApplicationNamed(f[1]);
        auto group =
            application.groupByName.find(FoldCase(std::string(Required(f[2], "secure group"))));
        if (group == application.groupByName.end())
            Reject("secure group " + Quoted(f[2]) + " is not declared above");
        SecureGroup& secureGroup = application.groups[group->second];
        SecuredObject object{std::string(Required(f[3], "object")),
                             std::string(Required(f[4], "object id"))};
        std::string key = FoldCase(object.name);
        if (!secureGroup.memberByName.emplace(key, secureGroup.members.size()).second)
            Reject("object " + Quoted(object.name) + " given twice in its group");
        application.objectIds.emplace(key, object.id);
        secureGroup.members.push_back(std::move(object));
    }

    static void AddOnce(std::pmr::vector<uint32_t>& indexes, uint32_t index)
    {
        if (indexes.empty() || indexes.back() != index) indexes.push_back(index);
    }

    Policy& m_policy;
    bool m_sawHeader = false;
    Fields m_fields;
    char m_kind[16];  // the longest kind's name and then some
    std::string m_longKind;
    uint32_t m_lastRole = FlatIndex::kNone;  // the role that a line named last
    std::string m_canonicalId;
    std::string m_key, m_otherKey;
    std::vector<DnGrants*> m_severalRoles;  // DNs granted to roles more than once
};

Policy::Policy(size_t textSize)
    // About as much again as the text: its texts, their folded keys, the
    // tables' nodes.
    : m_arena(textSize + 4096, &WarmBlocks::Instance()),
      m_roles(&m_arena),
      m_rolesOfUser(&m_arena),
      m_rolesOfGroup(&m_arena),
      m_groupsOfAccount(&m_arena),
      m_grants(&m_arena)
{
}

std::string_view Policy::Keep(std::string_view text)
{
    return standin::KeepInArena(m_arena, text);
}

template <class Value>
Value& Policy::Entry(Table<Value>& table, std::string_view key)
{
    auto [entry, added] = table.try_emplace(key);
    if (added) {
        try {
            entry->first.text = Keep(key);
        } catch (...) {
            table.erase(entry);
            throw;
        }
    }
    return entry->second;
}

std::unique_ptr<Policy> Policy::Parse(const std::string& source, std::string& error)
{
    // A UTF-8 byte order mark says how the rest is written; otherwise the
    // text is in the ANSI code page, like every text of the library. Names
    // decide who holds what, so a UTF-8 text is converted exactly or not at
    // all: a line that the code page cannot hold fails the load.
    std::string converted;
    bool utf8 = source.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (utf8 && !Utf8ToAcp(std::string_view(source).substr(3), converted)) {
        error = UnconvertibleLine(std::string_view(source).substr(3));
        return nullptr;
    }
    const std::string& text = utf8 ? converted : source;
    if (text.find('\0') != std::string::npos) {
        error = "the policy holds a NUL byte";
        return nullptr;
    }
    std::unique_ptr<Policy> policy(new Policy(text.size()));
    // Room from the start for a role, a member and a grant every three
    // record lines: growing tables of 100,000 entries walks them again.
    // Blank lines and comments add nothing, nor can a text hold more roles
    // than it has room for.
    size_t expected = std::min(RecordLines(text) / 3, text.size() / kShortestRoleLine);
    policy->m_roles->reserve(expected);
    policy->m_roleById.Reserve(expected);
    policy->m_roleIds.reserve(expected);
    policy->m_roleByName.Reserve(expected);
    policy->m_foldedNames.reserve(expected);
    policy->m_rolesOfUser->reserve(expected);
    policy->m_grants->reserve(expected);
    Parser parser(*policy);
    size_t lineNumber = 0;
    try {
        size_t start = 0;
        while (start < text.size()) {
            size_t end = static_cast<size_t>(
                FindByte(text.data() + start, text.data() + text.size(), '\n') - text.data());
            ++lineNumber;
            size_t length = end - start;
            if (length && text[start + length - 1] == '\r') --length;
            parser.Line(text.data() + start, length);
            start = end + 1;
        }
        parser.End();
    } catch (const BadLine& bad) {
        error =
            lineNumber ? "line " + std::to_string(lineNumber) + ": " + bad.message : bad.message;
        return nullptr;
    }
    return policy;
}

const Role* Policy::FindRole(const std::string& idOrName) const
{
    std::string id;
    if (ParseGuid(idOrName, id)) return FindRoleById(id);
    return FindRoleByName(idOrName);
}

DWORD Policy::DnGrants::RoleMask(uint32_t role) const noexcept
{
    auto found = std::lower_bound(roles.begin(), roles.end(), std::make_pair(role, DWORD(0)));
    return found != roles.end() && found->first == role ? found->second : 0;
}

const Role* Policy::FindRoleById(std::string_view canonicalId) const
{
    return FindRoleById(standin::GuidValueOf(canonicalId));
}

const Role* Policy::FindRoleById(const standin::GuidValue& id) const
{
    uint32_t found =
        m_roleById.Find(HashOf(id), [&](uint32_t role) { return m_roleIds[role] == id; });
    return found == FlatIndex::kNone ? nullptr : &(*m_roles)[found];
}

const Role* Policy::FindFolded(std::string_view folded, NameCheck* check) const
{
    uint32_t found = m_roleByName.Find(NameHash(folded), [&](uint32_t role) {
        return (check && check->Same(role, folded)) || m_foldedNames[role] == folded;
    });
    return found == FlatIndex::kNone ? nullptr : &(*m_roles)[found];
}

const Role* Policy::FindRoleByName(std::string_view name, NameCheck* check) const
{
    FoldedKey key(name);
    return FindFolded(key.view(), check);
}

bool Policy::FoldsTo(std::string_view text, std::string_view folded)
{
    FoldedKey key(text);
    return key.view() == folded;
}

std::vector<uint32_t> Policy::RolesOf(const std::string& account) const
{
    std::vector<uint32_t> roles;
    std::string key = FoldCase(account);
    auto direct = m_rolesOfUser->find(std::string_view(key));
    if (direct != m_rolesOfUser->end()) roles.assign(direct->second.begin(), direct->second.end());
    auto groups = m_groupsOfAccount->find(std::string_view(key));
    if (groups != m_groupsOfAccount->end()) {
        for (std::string_view group : groups->second) {
            auto through = m_rolesOfGroup->find(group);
            if (through != m_rolesOfGroup->end())
                roles.insert(roles.end(), through->second.begin(), through->second.end());
        }
    }
    std::sort(roles.begin(), roles.end());
    roles.erase(std::unique(roles.begin(), roles.end()), roles.end());
    return roles;
}

bool Policy::AccountHolds(std::string_view account, std::string_view dn, DWORD permission) const
{
    if (permission == 0) return false;
    auto grants = m_grants->find(FoldedKey(dn).view());
    if (grants == m_grants->end()) return false;
    const DnGrants& onDn = grants->second;
    FoldedKey folded(account);
    std::string_view key = folded.view();
    DWORD held = 0;
    auto own = onDn.accounts.find(key);
    if (own != onDn.accounts.end()) held = own->second;
    if (onDn.roles.empty()) return (held & permission) == permission;

    // A role reached twice adds nothing new: no need to collect them first.
    auto addRoles = [&](const Index& index, std::string_view member) {
        auto found = index.find(member);
        if (found == index.end()) return;
        for (uint32_t role : found->second) {
            held |= onDn.RoleMask(role);
        }
    };
    addRoles(*m_rolesOfUser, key);
    auto groups = m_groupsOfAccount->find(key);
    if (groups != m_groupsOfAccount->end())
        for (std::string_view group : groups->second) addRoles(*m_rolesOfGroup, group);
    return (held & permission) == permission;
}

bool Policy::RoleHolds(const Role& role, std::string_view dn, DWORD permission) const
{
    if (permission == 0) return false;
    auto grants = m_grants->find(FoldedKey(dn).view());
    if (grants == m_grants->end()) return false;
    DWORD granted = grants->second.RoleMask(static_cast<uint32_t>(&role - m_roles->data()));
    return granted && (granted & permission) == permission;
}

const Application* Policy::FindApplication(const std::string& name) const
{
    auto found = m_applicationByName.find(FoldCase(name));
    return found == m_applicationByName.end() ? nullptr : &m_applications[found->second];
}

}  // namespace kivauth
