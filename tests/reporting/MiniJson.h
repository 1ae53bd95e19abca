// A strict little JSON reader for checking the audit log's lines: a line that
// is not exactly one valid JSON value fails to parse.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::wstring string;  // decoded to UTF-16
    std::vector<Json> array;
    std::map<std::string, Json> object;
    std::vector<std::string> keys;  // in the order written

    const Json& operator[](const std::string& key) const
    {
        static const Json missing;
        auto found = object.find(key);
        return found == object.end() ? missing : found->second;
    }
    bool has(const std::string& key) const { return object.count(key) != 0; }
    bool isNull() const { return type == Type::Null; }
};

class JsonReader {
public:
    static std::optional<Json> Parse(const std::string& text)
    {
        JsonReader reader(text);
        Json value;
        if (!reader.Value(value)) return std::nullopt;
        reader.Space();
        if (reader.m_at != text.size()) return std::nullopt;
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    void Space()
    {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t')) ++m_at;
    }
    bool Literal(const char* word)
    {
        size_t length = std::char_traits<char>::length(word);
        if (m_text.compare(m_at, length, word) != 0) return false;
        m_at += length;
        return true;
    }
    bool Value(Json& out)
    {
        Space();
        if (m_at >= m_text.size()) return false;
        char c = m_text[m_at];
        if (c == '{') return Object(out);
        if (c == '[') return Array(out);
        if (c == '"') {
            out.type = Json::Type::String;
            return String(out.string);
        }
        if (Literal("null")) return true;
        if (Literal("true")) {
            out.type = Json::Type::Bool;
            out.boolean = true;
            return true;
        }
        if (Literal("false")) {
            out.type = Json::Type::Bool;
            return true;
        }
        return Number(out);
    }
    bool Number(Json& out)
    {
        size_t start = m_at;
        if (m_at < m_text.size() && m_text[m_at] == '-') ++m_at;
        size_t digits = m_at;
        while (m_at < m_text.size() && isdigit(static_cast<unsigned char>(m_text[m_at]))) ++m_at;
        if (m_at == digits) return false;
        out.type = Json::Type::Number;
        out.number = std::stod(m_text.substr(start, m_at - start));
        return true;
    }
    bool Hex4(unsigned& unit)
    {
        if (m_at + 4 > m_text.size()) return false;
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            char c = m_text[m_at++];
            unit <<= 4;
            if (c >= '0' && c <= '9') unit |= c - '0';
            else if (c >= 'a' && c <= 'f') unit |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') unit |= c - 'A' + 10;
            else return false;
        }
        return true;
    }
    // One UTF-8 sequence at m_at into UTF-16; overlong and stray bytes fail.
    bool Utf8(std::wstring& out)
    {
        unsigned char lead = static_cast<unsigned char>(m_text[m_at++]);
        unsigned code;
        int extra;
        if (lead < 0x80) code = lead, extra = 0;
        else if ((lead & 0xE0) == 0xC0) code = lead & 0x1F, extra = 1;
        else if ((lead & 0xF0) == 0xE0) code = lead & 0x0F, extra = 2;
        else if ((lead & 0xF8) == 0xF0) code = lead & 0x07, extra = 3;
        else return false;
        for (int k = 0; k < extra; ++k) {
            if (m_at >= m_text.size()) return false;
            unsigned char next = static_cast<unsigned char>(m_text[m_at++]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        static const unsigned kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (code >> 10));
            out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code);
        }
        return true;
    }
    bool String(std::wstring& out)
    {
        ++m_at;  // opening quote
        while (m_at < m_text.size()) {
            unsigned char c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') return ++m_at, true;
            if (c < 0x20) return false;  // control characters must be escaped
            if (c != '\\') {
                if (!Utf8(out)) return false;
                continue;
            }
            if (++m_at >= m_text.size()) return false;
            char e = m_text[m_at++];
            switch (e) {
            case '"': out += L'"'; break;
            case '\\': out += L'\\'; break;
            case '/': out += L'/'; break;
            case 'b': out += L'\b'; break;
            case 'f': out += L'\f'; break;
            case 'n': out += L'\n'; break;
            case 'r': out += L'\r'; break;
            case 't': out += L'\t'; break;
            case 'u': {
                unsigned unit;
                if (!Hex4(unit)) return false;
                out += static_cast<wchar_t>(unit);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool Array(Json& out)
    {
        out.type = Json::Type::Array;
        ++m_at;
        Space();
        if (m_at < m_text.size() && m_text[m_at] == ']') return ++m_at, true;
        for (;;) {
            Json item;
            if (!Value(item)) return false;
            out.array.push_back(std::move(item));
            Space();
            if (m_at >= m_text.size()) return false;
            char c = m_text[m_at++];
            if (c == ']') return true;
            if (c != ',') return false;
        }
    }
    bool Object(Json& out)
    {
        out.type = Json::Type::Object;
        ++m_at;
        Space();
        if (m_at < m_text.size() && m_text[m_at] == '}') return ++m_at, true;
        for (;;) {
            Space();
            std::wstring key;
            if (m_at >= m_text.size() || m_text[m_at] != '"' || !String(key)) return false;
            Space();
            if (m_at >= m_text.size() || m_text[m_at++] != ':') return false;
            Json value;
            if (!Value(value)) return false;
            std::string narrowKey(key.begin(), key.end());
            if (out.object.count(narrowKey)) return false;
            out.keys.push_back(narrowKey);
            out.object[narrowKey] = std::move(value);
            Space();
            if (m_at >= m_text.size()) return false;
            char c = m_text[m_at++];
            if (c == '}') return true;
            if (c != ',') return false;
        }
    }

    const std::string& m_text;
    size_t m_at = 0;
};
