// A policy text as lines, edited in place: the role records and the lines
// that refer to roles are understood, every other line is carried through
// byte for byte. The rules of reading are those of KivAuth.dll: fields
// separated by "|" and trimmed of spaces and tabs, record kinds without
// regard to case, role names unique without regard to case, a role referred
// to by its {GUID} or its name and declared above the lines that name it.
#pragma once

#include "Arena.h"
#include "TextHelpers.h"

#include <windows.h>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace secclient {

// A text the store cannot hold as given (a line break, a "|" outside a
// description, a blank name...) is refused with E_INVALIDARG.
constexpr HRESULT kRoleNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT kRoleExists = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
constexpr HRESULT kPolicyInvalid = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// "{8-4-4-4-12}" in hexadecimal digits, any case; canonical is upper case.
bool ParseRoleId(const std::wstring& text, std::string& canonical);
// "KIV" and the 36 characters of a GUID without its braces.
bool ParsePrefixedRoleId(const wchar_t* text, std::string& canonical);

// The arguments of the operations, checked before the file is read.
struct NewRole {
    std::wstring name;
    std::wstring description;  // trimmed; the format drops surrounding blanks
    std::string id;            // canonical, or empty for a new one
};
HRESULT CheckNewRole(const wchar_t* name, const wchar_t* description, const wchar_t* id,
                     NewRole& role);

struct RoleUpdate {
    std::string id;
    std::wstring name;  // trimmed
    std::wstring description;
    std::vector<std::wstring> users, groups;
};
HRESULT CheckRoleUpdate(const wchar_t* id, const wchar_t* name, const wchar_t* description,
                        const wchar_t* users, const wchar_t* groups, RoleUpdate& update);

// A store of 100,000 roles is read for every change: its lines are views
// into one copy of the file, and its tables and role texts live in an
// arena of the document's own (Arena.h).
class PolicyDocument {
public:
    PolicyDocument();
    PolicyDocument(const PolicyDocument&) = delete;
    PolicyDocument& operator=(const PolicyDocument&) = delete;

    // The whole file. kPolicyInvalid when it does not begin with the
    // "policy | 1" record, or a role record or a line naming a role is
    // malformed, or two roles share an identifier or a name.
    HRESULT Load(const std::string& bytes);
    std::string Text() const;
    // The same into a text whose room may be used again.
    void Text(std::string& text) const;
    // Makes the edits part of the document, as if Text() had been loaded
    // again, so that the next edit need not read it. False when only a new
    // Load can tell what the text means; the document is then unusable.
    bool Commit();

    // id: the identifier the role was given.
    HRESULT AddRole(const NewRole& role, std::string& id);
    HRESULT UpdateRole(const RoleUpdate& update);
    HRESULT DeleteRoleByName(const std::wstring& name);
    HRESULT DeleteRoleById(const std::string& canonicalId);

private:
    enum class Kind { Other, Role, RoleUser, RoleGroup, RoleGrant };
    struct Field {
        // Offsets in the line (a policy is at most 256 MB): 300,000 lines
        // of fields are read for every change.
        uint32_t rawBegin, rawEnd;  // between the bars
        uint32_t begin, end;        // without surrounding spaces and tabs
    };
    // At most four fields (a role's), kept inside the line: a store of
    // 100,000 roles has 300,000 lines.
    class FieldList {
    public:
        size_t size() const noexcept { return m_count; }
        Field& operator[](size_t i) noexcept { return m_fields[i]; }
        const Field& operator[](size_t i) const noexcept { return m_fields[i]; }
        // False when the line has more fields than any record takes.
        bool push_back(const Field& field) noexcept
        {
            if (m_count == kMaxFields) return false;
            m_fields[m_count++] = field;
            return true;
        }
        void shrink(size_t count) noexcept { m_count = count; }

    private:
        static constexpr size_t kMaxFields = 4;
        Field m_fields[kMaxFields];
        size_t m_count = 0;
    };
    // A line that edits may touch, or a run of lines that they never touch
    // (blank lines, comments, the header, records of other kinds), kept as
    // one: a file of blank lines costs no more than its text.
    struct Line {
        std::string_view loaded;  // as read, without its (last) line end
        std::string edited;       // its text once changed, or a new line's
        bool isEdited = false;
        const char* end = "";  // "\r\n", "\n", or "" for a last line without one
        Kind kind = Kind::Other;
        FieldList fields;
        int role = -1;        // the role a line declares or names; -1 for none
        bool byName = false;  // a reference by name rather than by identifier
        bool removed = false;
        std::vector<Line> after;  // new lines that follow this one

        std::string_view Text() const noexcept
        {
            return isEdited ? std::string_view(edited) : loaded;
        }
        std::string& Edit()
        {
            if (!isEdited) edited.assign(loaded);
            isEdited = true;
            return edited;
        }
    };
    // Room for the lines that edits add, beyond those loaded.
    static constexpr size_t kSpareLines = 1024;
    struct Role {
        size_t line;
        std::string_view id;   // canonical, in the arena
        std::string_view key;  // the name as the library compares it, in the arena
    };

    static Kind KindOf(std::string_view kind);
    bool ReadRecord(size_t index, std::string_view raw);
    // A text as the file holds it, and optionally the key under which the
    // library will compare it (ANSI, folded). False for a text that the
    // library could not hold exactly.
    bool Encode(const std::wstring& text, std::string& bytes, std::string* key = nullptr) const;
    // The key of a name as the file holds it; false when the library could
    // not read it exactly.
    bool KeyOf(const std::string& fileText, std::string& key) const;
    std::string FieldText(const Line& line, size_t index) const;
    static void SpliceField(Line& line, size_t index, const std::string& text);
    // A role by its index (never -1 here).
    Role& RoleAt(int role) { return m_roles[static_cast<size_t>(role)]; }
    const Role& RoleAt(int role) const { return m_roles[static_cast<size_t>(role)]; }
    int FindByKey(const std::string& key) const;
    int FindById(const std::string& id) const;
    Line NewLine(const std::string& text) const;
    void IndexRole(int role);
    void RemoveRole(int role);
    void ReplaceMembers(int role, Kind kind, const std::vector<std::string>& members);
    std::string_view Keep(std::string_view text);

    // First: the tables below allocate from it, and it must outlive them.
    std::pmr::monotonic_buffer_resource m_arena;
    std::string m_text;  // the file without a byte order mark; lines view it
    std::vector<Line> m_lines;
    std::vector<Role> m_roles;
    // The roles still in the text, by key and by identifier.
    standin::InArena<std::pmr::unordered_map<std::string_view, int>> m_byKey;
    standin::InArena<std::pmr::unordered_map<standin::GuidValue, int, standin::GuidValueHash>>
        m_byId;
    // Kept from line to line: a store of 100,000 roles has 300,000 lines.
    std::string m_first, m_id;
    bool m_orphans = false;      // a line names a role not declared above it
    bool m_utf8 = false;         // the file starts with a UTF-8 byte order mark
    bool m_finalLineEnd = true;  // the file ends with a line end
    const char* m_lineEnd = "\r\n";
};

}  // namespace secclient
