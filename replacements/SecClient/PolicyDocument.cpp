#include "PolicyDocument.h"

#include "TextHelpers.h"

#include <objbase.h>
#include <algorithm>
#include <cstring>

namespace secclient {

// Lines are read by the library's own rules.
using standin::FoldCase;
using standin::IsBlank;
using standin::ParseGuid;
using standin::Trim;

namespace {

const char kBom[] = "\xEF\xBB\xBF";

std::wstring TrimWide(const wchar_t* text)
{
    std::wstring result = text ? text : L"";
    size_t first = result.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    return result.substr(first, result.find_last_not_of(L" \t") - first + 1);
}

// A text the library reads back as the very same text: it converts exactly
// to the ANSI code page, in which the library holds it (no best fit, no
// default character), and its bytes there hold no line break, which would
// end the record early, nor a bar, which would start another field. The
// bytes are what the library splits, so they are what is checked.
bool FitsField(const std::wstring& text, bool barAllowed)
{
    std::string acp;
    if (!standin::NarrowExact(CP_ACP, text, acp)) return false;
    return acp.find_first_of(barAllowed ? "\r\n" : "\r\n|") == std::string::npos;
}

bool IsBlankWide(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// A role name the store can hold and find again under the same text.
HRESULT CheckName(const std::wstring& name)
{
    if (name.empty() || !FitsField(name, false)) return E_INVALIDARG;
    if (IsBlankWide(name.front()) || IsBlankWide(name.back())) return E_INVALIDARG;
    // The library would take it for an identifier.
    std::string ignored;
    if (ParseRoleId(name, ignored)) return E_INVALIDARG;
    return S_OK;
}

// "a;b;" into its names, each trimmed; empty and blank ones are skipped,
// since no field of the policy may be blank.
HRESULT SplitMembers(const wchar_t* list, std::vector<std::wstring>& members)
{
    std::wstring text = list ? list : L"";
    size_t start = 0;
    while (start <= text.size()) {
        size_t semicolon = text.find(L';', start);
        if (semicolon == std::wstring::npos) semicolon = text.size();
        std::wstring member = TrimWide(text.substr(start, semicolon - start).c_str());
        if (!member.empty()) {
            if (!FitsField(member, false)) return E_INVALIDARG;
            members.push_back(member);
        }
        start = semicolon + 1;
    }
    return S_OK;
}

}  // namespace

namespace {

// Record kinds compare without regard to case, as the library compares
// them: plain ASCII here, any other text folded by the code page's rules.
bool IsKind(const char* text, size_t length, const char* kind)
{
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return FoldCase(std::string(text, length)) == kind;
    if (length != strlen(kind)) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kind[i]) return false;
    }
    return true;
}

}  // namespace

bool ParseRoleId(const std::wstring& text, std::string& canonical)
{
    if (text.size() != 38) return false;
    for (wchar_t c : text)
        if (c > 0x7F) return false;
    return ParseGuid(std::string(text.begin(), text.end()), canonical);
}

bool ParsePrefixedRoleId(const wchar_t* text, std::string& canonical)
{
    if (!text || wcsncmp(text, L"KIV", 3) != 0 || wcslen(text) != 39) return false;
    return ParseRoleId(L"{" + std::wstring(text + 3) + L"}", canonical);
}

HRESULT CheckNewRole(const wchar_t* name, const wchar_t* description, const wchar_t* id,
                     NewRole& role)
{
    role.name = name ? name : L"";
    role.description = TrimWide(description);
    HRESULT hr = CheckName(role.name);
    if (FAILED(hr)) return hr;
    if (!FitsField(role.description, true)) return E_INVALIDARG;
    role.id.clear();
    if (id && *id && !ParseRoleId(id, role.id)) return E_INVALIDARG;
    return S_OK;
}

HRESULT CheckRoleUpdate(const wchar_t* id, const wchar_t* name, const wchar_t* description,
                        const wchar_t* users, const wchar_t* groups, RoleUpdate& update)
{
    if (!id || !ParseRoleId(id, update.id)) return E_INVALIDARG;
    // A role object keeps a new name as typed, spaces included; the store
    // cannot, so the name is trimmed here.
    update.name = TrimWide(name);
    update.description = TrimWide(description);
    HRESULT hr = CheckName(update.name);
    if (FAILED(hr)) return hr;
    if (!FitsField(update.description, true)) return E_INVALIDARG;
    hr = SplitMembers(users, update.users);
    if (SUCCEEDED(hr)) hr = SplitMembers(groups, update.groups);
    return hr;
}

PolicyDocument::PolicyDocument() : m_byKey(&m_arena), m_byId(&m_arena) {}

std::string_view PolicyDocument::Keep(std::string_view text)
{
    return standin::KeepInArena(m_arena, text);
}

bool PolicyDocument::Encode(const std::wstring& text, std::string& bytes, std::string* key) const
{
    std::string acp;
    if (!standin::NarrowExact(CP_ACP, text, acp)) return false;
    if (m_utf8 && !standin::NarrowExact(CP_UTF8, text, bytes)) return false;
    if (!m_utf8) bytes = acp;
    if (key) *key = FoldCase(std::move(acp));
    return true;
}

// The library reads a UTF-8 file as ANSI text, and compares names folded.
bool PolicyDocument::KeyOf(const std::string& fileText, std::string& key) const
{
    if (!m_utf8) {
        key = FoldCase(fileText);
        return true;
    }
    if (!standin::Utf8ToAcp(fileText, key)) return false;
    key = FoldCase(std::move(key));
    return true;
}

std::string PolicyDocument::FieldText(const Line& line, size_t index) const
{
    const Field& field = line.fields[index];
    return std::string(line.Text().substr(field.begin, field.end - field.begin));
}

// Replaces a field's text; the fields after it move with it.
void PolicyDocument::SpliceField(Line& line, size_t index, const std::string& text)
{
    Field& field = line.fields[index];
    line.Edit().replace(field.begin, field.end - field.begin, text);
    size_t oldLength = field.end - field.begin;
    auto move = [&](uint32_t& at) { at = static_cast<uint32_t>(at + text.size() - oldLength); };
    move(field.end);
    move(field.rawEnd);
    for (size_t i = index + 1; i < line.fields.size(); ++i) {
        move(line.fields[i].rawBegin);
        move(line.fields[i].rawEnd);
        move(line.fields[i].begin);
        move(line.fields[i].end);
    }
}

int PolicyDocument::FindByKey(const std::string& key) const
{
    auto found = m_byKey->find(key);
    return found == m_byKey->end() ? -1 : found->second;
}

int PolicyDocument::FindById(const std::string& id) const
{
    auto found = m_byId->find(standin::GuidValueOf(id));
    // The key is the identifier's value: the text must match too.
    return found == m_byId->end() || RoleAt(found->second).id != id ? -1 : found->second;
}

void PolicyDocument::IndexRole(int role)
{
    (*m_byKey)[RoleAt(role).key] = role;
    (*m_byId)[standin::GuidValueOf(RoleAt(role).id)] = role;
}

PolicyDocument::Line PolicyDocument::NewLine(const std::string& text) const
{
    Line line;
    line.edited = text;
    line.isEdited = true;
    line.end = m_lineEnd;
    return line;
}

namespace {

// Each line of the text: its text without the line end, and the end ("\r\n",
// "\n", or "" for a last line without one). Stops when each gives false.
template <class Each>
bool ForEachLine(std::string_view text, Each each)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) return each(text.substr(start), "");
        std::string_view raw = text.substr(start, newline - start);
        const char* end = "\n";
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
            end = "\r\n";
        }
        if (!each(raw, end)) return false;
        start = newline + 1;
    }
    return true;
}

// Where a line's record kind stands, without the blanks around it, and the
// bar after it (npos when none).
struct KindText {
    bool blank = true;  // a blank line or a comment: no record at all
    size_t begin = 0, end = 0, bar = std::string_view::npos;
};

KindText FindKind(std::string_view raw)
{
    KindText kind;
    size_t start = 0;
    while (start < raw.size() && IsBlank(raw[start])) ++start;
    if (start == raw.size() || raw[start] == '#') return kind;
    kind.blank = false;
    kind.bar = raw.find('|', start);
    size_t end = kind.bar == std::string_view::npos ? raw.size() : kind.bar;
    while (end > start && IsBlank(raw[end - 1])) --end;
    kind.begin = start;
    kind.end = end;
    return kind;
}

std::string_view KindIn(std::string_view raw, const KindText& where)
{
    return raw.substr(where.begin, where.end - where.begin);
}

}  // namespace

// A record kind that edits touch, or Other.
PolicyDocument::Kind PolicyDocument::KindOf(std::string_view kind)
{
    if (IsKind(kind.data(), kind.size(), "role")) return Kind::Role;
    if (IsKind(kind.data(), kind.size(), "role-user")) return Kind::RoleUser;
    if (IsKind(kind.data(), kind.size(), "role-group")) return Kind::RoleGroup;
    if (IsKind(kind.data(), kind.size(), "role-grant")) return Kind::RoleGrant;
    return Kind::Other;
}

// The fields of a record that edits touch, and the role it declares or
// names. False when the record is malformed or declares a role twice.
bool PolicyDocument::ReadRecord(size_t index, std::string_view raw)
{
    Line& line = m_lines[index];
    size_t minFields = line.kind == Kind::RoleGrant ? 4 : 3;
    size_t maxFields = line.kind == Kind::Role || line.kind == Kind::RoleGrant ? 4 : 3;

    // A role's description takes the rest of the line, bars included.
    size_t fieldStart = 0;
    for (;;) {
        size_t next = raw.find('|', fieldStart);
        bool last = next == std::string::npos ||
                    (line.kind == Kind::Role && line.fields.size() + 1 == maxFields);
        size_t rawEnd = last ? raw.size() : next;
        uint32_t from = static_cast<uint32_t>(fieldStart), to = static_cast<uint32_t>(rawEnd);
        Field field{from, to, from, to};
        while (field.begin < field.end && IsBlank(raw[field.begin])) ++field.begin;
        while (field.end > field.begin && IsBlank(raw[field.end - 1])) --field.end;
        if (!line.fields.push_back(field)) return false;
        if (last) break;
        fieldStart = next + 1;
    }
    if (line.fields.size() < minFields || line.fields.size() > maxFields) return false;

    std::string& first = m_first;
    std::string& id = m_id;
    first.assign(raw.data() + line.fields[1].begin, line.fields[1].end - line.fields[1].begin);
    if (line.kind == Kind::Role) {
        std::string key;
        if (!KeyOf(FieldText(line, 2), key)) return false;
        if (!ParseGuid(first, id) || key.empty()) return false;
        if (FindById(id) >= 0 || FindByKey(key) >= 0) return false;
        line.role = static_cast<int>(m_roles.size());
        m_roles.push_back(Role{index, Keep(id), Keep(key)});
        IndexRole(line.role);
        return true;
    }
    // A line naming a role that is not declared above it belongs to no
    // role here; it stays as it is.
    // Lines that name a role mostly follow its own: the role read last
    // is tried before the table, whose entries a store of 100,000 roles
    // spreads beyond the processor's caches.
    line.byName = !ParseGuid(first, id);
    if (line.byName) {
        std::string key;
        if (!KeyOf(first, key)) return false;
        line.role = FindByKey(key);
    } else if (!m_roles.empty() && m_roles.back().id == id) {
        line.role = static_cast<int>(m_roles.size()) - 1;
    } else {
        line.role = FindById(id);
    }
    if (line.role < 0) m_orphans = true;
    return true;
}

HRESULT PolicyDocument::Load(const std::string& bytes)
{
    m_lines.clear();
    m_roles.clear();
    m_byKey->clear();
    m_byId->clear();
    m_utf8 = bytes.compare(0, 3, kBom) == 0;
    m_text.assign(bytes, m_utf8 ? 3 : 0, std::string::npos);
    const std::string& text = m_text;
    if (text.find('\0') != std::string::npos) return kPolicyInvalid;
    // The library refuses a UTF-8 file with a line that the ANSI code page
    // cannot hold: a change would not make it readable.
    if (m_utf8) {
        std::string converted;
        if (!standin::Utf8ToAcp(text, converted)) return kPolicyInvalid;
    }

    size_t newline = text.find('\n');
    if (newline != std::string::npos)
        m_lineEnd = newline > 0 && text[newline - 1] == '\r' ? "\r\n" : "\n";
    m_finalLineEnd = text.empty() || text.back() == '\n';

    // A run of lines that no edit touches is one Line: blank lines and
    // comments cost nothing beyond reading them. Room for every Line and
    // every role from the start: growing to 100,000 roles by doubling walks
    // them again and again.
    size_t lineCount = 0, roleCount = 0;
    bool inRun = false;
    ForEachLine(text, [&](std::string_view raw, const char*) {
        Kind kind = KindOf(KindIn(raw, FindKind(raw)));
        if (kind == Kind::Role) ++roleCount;
        if (kind != Kind::Other || !inRun) ++lineCount;
        inRun = kind == Kind::Other;
        return true;
    });
    m_lines.reserve(lineCount + kSpareLines);
    m_roles.reserve(roleCount);
    m_byKey->reserve(roleCount);
    m_byId->reserve(roleCount);

    bool sawHeader = false;
    inRun = false;
    m_orphans = false;
    bool valid = ForEachLine(text, [&](std::string_view raw, const char* end) {
        KindText where = FindKind(raw);
        Kind kind = Kind::Other;
        if (!where.blank && !sawHeader) {
            // Exactly two fields: "policy" and the format version.
            std::string_view header = KindIn(raw, where);
            if (!IsKind(header.data(), header.size(), "policy") || where.bar == std::string::npos ||
                Trim(std::string(raw.substr(where.bar + 1))) != "1")
                return false;
            sawHeader = true;
        } else {
            kind = KindOf(KindIn(raw, where));
        }
        if (kind == Kind::Other) {
            if (inRun) {
                Line& run = m_lines.back();
                run.loaded = std::string_view(
                    run.loaded.data(),
                    static_cast<size_t>(raw.data() + raw.size() - run.loaded.data()));
                run.end = end;
            } else {
                Line& run = m_lines.emplace_back();
                run.loaded = raw;
                run.end = end;
            }
            inRun = true;
            return true;
        }
        inRun = false;
        // Made in place: a line is large, and 300,000 of them are read.
        Line& line = m_lines.emplace_back();
        line.loaded = raw;
        line.end = end;
        line.kind = kind;
        return ReadRecord(m_lines.size() - 1, raw);
    });
    return valid && sawHeader ? S_OK : kPolicyInvalid;
}

// Lines as loaded and untouched are copied as the runs of the file they
// stand in, not one by one: a store of 100,000 roles has 300,000 lines.
std::string PolicyDocument::Text() const
{
    std::string text;
    Text(text);
    return text;
}

void PolicyDocument::Text(std::string& text) const
{
    text.assign(m_utf8 ? kBom : "");
    text.reserve(m_text.size() + 3 + kSpareLines * 2);
    const char* runBegin = nullptr;
    const char* runEnd = nullptr;
    size_t lastEnd = 0;
    bool any = false;
    auto put = [&](const Line& line) {
        any = true;
        size_t endLength = strlen(line.end);
        bool asLoaded = !line.isEdited && endLength > 0;
        if (asLoaded && line.loaded.data() == runEnd) {
            runEnd += line.loaded.size() + endLength;
            lastEnd = endLength;
            return;
        }
        if (runBegin) text.append(runBegin, static_cast<size_t>(runEnd - runBegin));
        runBegin = runEnd = nullptr;
        if (asLoaded) {
            runBegin = line.loaded.data();
            runEnd = runBegin + line.loaded.size() + endLength;
            lastEnd = endLength;
            return;
        }
        const char* end = endLength ? line.end : m_lineEnd;
        text += line.Text();
        text += end;
        lastEnd = strlen(end);
    };
    for (const Line& line : m_lines) {
        if (!line.removed) put(line);
        for (const Line& added : line.after) put(added);
    }
    if (runBegin) text.append(runBegin, static_cast<size_t>(runEnd - runBegin));
    if (any && !m_finalLineEnd) text.resize(text.size() - lastEnd);
}

bool PolicyDocument::Commit()
{
    // A line that names no role declared above it would name a role added
    // or renamed above it once the text is read again: only a new reading
    // knows.
    if (m_orphans) return false;
    // New lines go in where they stand; removed lines stay, unseen, so that
    // the lines before a change do not move and those after it move once.
    size_t count = 0;
    for (const Line& line : m_lines) count += line.after.size();
    if (count == 0) return true;
    if (m_lines.capacity() < m_lines.size() + count)
        m_lines.reserve(m_lines.size() + count + kSpareLines);
    std::vector<size_t> added;
    for (size_t i = m_lines.size(); i-- > 0;) {
        if (m_lines[i].after.empty()) continue;
        std::vector<Line> after = std::move(m_lines[i].after);
        m_lines[i].after.clear();
        m_lines.insert(m_lines.begin() + static_cast<ptrdiff_t>(i) + 1,
                       std::make_move_iterator(after.begin()),
                       std::make_move_iterator(after.end()));
        for (Role& role : m_roles)
            if (role.line > i) role.line += after.size();
        for (size_t& at : added) at += after.size();
        for (size_t k = 1; k <= after.size(); ++k) added.push_back(i + k);
    }
    // New lines are read as Load reads them, in the order of the text.
    std::sort(added.begin(), added.end());
    for (size_t index : added) {
        Line& line = m_lines[index];
        KindText where = FindKind(line.edited);
        line.kind = KindOf(KindIn(line.edited, where));
        if (line.kind == Kind::Other) continue;
        if (!ReadRecord(index, line.edited) || m_orphans) return false;
    }
    return true;
}

HRESULT PolicyDocument::AddRole(const NewRole& role, std::string& id)
{
    id = role.id;
    if (id.empty()) {
        GUID guid;
        HRESULT hr = CoCreateGuid(&guid);
        if (FAILED(hr)) return hr;
        wchar_t text[64];
        StringFromGUID2(guid, text, 64);
        ParseRoleId(text, id);
    }
    std::string name, key, description;
    if (!Encode(role.name, name, &key) || !Encode(role.description, description))
        return E_INVALIDARG;
    if (FindById(id) >= 0 || FindByKey(key) >= 0) return kRoleExists;

    std::string record = "role | " + id + " | " + name;
    if (!description.empty()) record += " | " + description;
    // With the other roles, or at the end when there are none.
    size_t anchor = m_lines.size() - 1;
    for (const Role& known : m_roles)
        if (!m_lines[known.line].removed) anchor = known.line;
    m_lines[anchor].after.push_back(NewLine(record));
    return S_OK;
}

HRESULT PolicyDocument::UpdateRole(const RoleUpdate& update)
{
    int role = FindById(update.id);
    if (role < 0) return kRoleNotFound;
    // Everything is encoded before anything changes: a text that cannot be
    // written exactly leaves the document as it was.
    std::string newName, newKey, newDescription;
    std::vector<std::string> users(update.users.size()), groups(update.groups.size());
    bool exact =
        Encode(update.name, newName, &newKey) && Encode(update.description, newDescription);
    for (size_t i = 0; exact && i < users.size(); ++i) exact = Encode(update.users[i], users[i]);
    for (size_t i = 0; exact && i < groups.size(); ++i) exact = Encode(update.groups[i], groups[i]);
    if (!exact) return E_INVALIDARG;
    int holder = FindByKey(newKey);
    if (holder >= 0 && holder != role) return kRoleExists;

    Line& record = m_lines[RoleAt(role).line];
    bool renamed = FieldText(record, 2) != newName;
    std::string oldDescription = record.fields.size() > 3 ? FieldText(record, 3) : std::string();
    if (newDescription != oldDescription) {
        if (!newDescription.empty() && !oldDescription.empty()) {
            SpliceField(record, 3, newDescription);
        } else {
            std::string& text = record.Edit();
            text.erase(record.fields[2].end);
            record.fields.shrink(3);
            record.fields[2].rawEnd = static_cast<uint32_t>(text.size());
            if (!newDescription.empty()) text += " | " + newDescription;
        }
    }
    if (renamed) {
        SpliceField(record, 2, newName);
        m_byKey->erase(RoleAt(role).key);
        RoleAt(role).key = Keep(newKey);
        IndexRole(role);
        // Lines that named the role by its old name must find it under the new one.
        for (Line& line : m_lines)
            if (!line.removed && line.role == role && line.byName && line.kind != Kind::Role)
                SpliceField(line, 1, newName);
    }

    ReplaceMembers(role, Kind::RoleUser, users);
    ReplaceMembers(role, Kind::RoleGroup, groups);
    return S_OK;
}

// Lines already in the order of the new list stay as they are; the others
// go, and the names still missing follow the last line kept (or the role's
// record), so that the library reads the members in the list's order.
void PolicyDocument::ReplaceMembers(int role, Kind kind, const std::vector<std::string>& members)
{
    size_t matched = 0;
    size_t anchor = RoleAt(role).line;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        Line& line = m_lines[i];
        if (line.removed || line.role != role || line.kind != kind) continue;
        if (matched < members.size() && FieldText(line, 2) == members[matched]) {
            ++matched;
            anchor = i;
        } else {
            line.removed = true;
        }
    }
    const char* record = kind == Kind::RoleUser ? "role-user | " : "role-group | ";
    for (; matched < members.size(); ++matched)
        m_lines[anchor].after.push_back(
            NewLine(record + std::string(RoleAt(role).id) + " | " + members[matched]));
}

void PolicyDocument::RemoveRole(int role)
{
    for (Line& line : m_lines)
        if (line.role == role) line.removed = true;
    m_byKey->erase(RoleAt(role).key);
    m_byId->erase(standin::GuidValueOf(RoleAt(role).id));
}

HRESULT PolicyDocument::DeleteRoleByName(const std::wstring& name)
{
    // A name that the library could not hold names no role of the file.
    std::string bytes, key;
    int role = Encode(name, bytes, &key) ? FindByKey(key) : -1;
    if (role < 0) return kRoleNotFound;
    RemoveRole(role);
    return S_OK;
}

HRESULT PolicyDocument::DeleteRoleById(const std::string& canonicalId)
{
    int role = FindById(canonicalId);
    if (role < 0) return kRoleNotFound;
    RemoveRole(role);
    return S_OK;
}

}  // namespace secclient
