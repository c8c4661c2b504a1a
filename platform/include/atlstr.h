// ATL's CString for wide text: a value string with the operations the product uses, loading from
// the module's string table and formatting printf-style (%s is wide text, as in Windows' wide
// printf; %S narrow).
#pragma once

#include <atlbase.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace ATL {

class CStringW {
public:
    CStringW() = default;
    CStringW(LPCWSTR text) : m_text(text ? text : u"") {}
    CStringW(const std::u16string& text) : m_text(text) {}
    CStringW(WCHAR c, int count = 1) : m_text(count > 0 ? count : 0, c) {}

    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    operator LPCWSTR() const { return m_text.c_str(); }
    LPCWSTR GetString() const { return m_text.c_str(); }
    WCHAR GetAt(int index) const { return m_text.at(index); }
    WCHAR operator[](int index) const { return m_text.at(index); }

    BOOL LoadString(UINT id)
    {
        WCHAR buffer[1024];
        const int length = LoadStringW(_AtlBaseModule.GetResourceInstance(), id, buffer, 1024);
        if (length <= 0) return FALSE;
        m_text.assign(buffer, length);
        return TRUE;
    }

    void Format(LPCWSTR format, ...)
    {
        va_list args;
        va_start(args, format);
        FormatV(format, args);
        va_end(args);
    }
    void FormatV(LPCWSTR format, va_list args);
    void AppendFormat(LPCWSTR format, ...)
    {
        CStringW more;
        va_list args;
        va_start(args, format);
        more.FormatV(format, args);
        va_end(args);
        m_text += more.m_text;
    }

    int Replace(LPCWSTR oldText, LPCWSTR newText)
    {
        const std::u16string from(oldText ? oldText : u""), to(newText ? newText : u"");
        if (from.empty()) return 0;
        int count = 0;
        for (size_t at = m_text.find(from); at != std::u16string::npos; at = m_text.find(from, at + to.size())) {
            m_text.replace(at, from.size(), to);
            ++count;
        }
        return count;
    }
    int Remove(WCHAR c)
    {
        const size_t before = m_text.size();
        m_text.erase(std::remove(m_text.begin(), m_text.end(), c), m_text.end());
        return static_cast<int>(before - m_text.size());
    }
    int Find(WCHAR c, int start = 0) const { return Position(m_text.find(c, start)); }
    int Find(LPCWSTR text, int start = 0) const { return Position(m_text.find(text, start)); }
    int ReverseFind(WCHAR c) const { return Position(m_text.rfind(c)); }
    CStringW Mid(int first) const { return Mid(first, GetLength()); }
    CStringW Mid(int first, int count) const
    {
        if (first < 0) first = 0;
        if (first >= GetLength() || count <= 0) return CStringW();
        return CStringW(m_text.substr(first, count));
    }
    CStringW Left(int count) const { return Mid(0, count); }
    CStringW Right(int count) const { return count >= GetLength() ? *this : Mid(GetLength() - count, count); }
    CStringW& MakeLower()
    {
        CharLowerW(m_text.data());
        return *this;
    }
    CStringW& MakeUpper()
    {
        CharUpperW(m_text.data());
        return *this;
    }
    int Compare(LPCWSTR other) const { return m_text.compare(other ? other : u""); }
    int CompareNoCase(LPCWSTR other) const
    {
        CStringW a(*this), b(other);
        return a.MakeUpper().m_text.compare(b.MakeUpper().m_text);
    }
    CStringW& Trim()
    {
        const size_t first = m_text.find_first_not_of(u" \t\r\n");
        const size_t last = m_text.find_last_not_of(u" \t\r\n");
        m_text = first == std::u16string::npos ? std::u16string() : m_text.substr(first, last - first + 1);
        return *this;
    }

    LPWSTR GetBuffer(int minLength = 0)
    {
        if (minLength > GetLength()) m_text.resize(minLength);
        return m_text.data();
    }
    LPWSTR GetBufferSetLength(int length)
    {
        m_text.resize(length);
        return m_text.data();
    }
    void ReleaseBuffer(int length = -1)
    {
        m_text.resize(length < 0 ? std::u16string(m_text.c_str()).size() : static_cast<size_t>(length));
    }

    CStringW& operator+=(const CStringW& more)
    {
        m_text += more.m_text;
        return *this;
    }
    CStringW& operator+=(LPCWSTR more)
    {
        m_text += more ? more : u"";
        return *this;
    }
    CStringW& operator+=(WCHAR c)
    {
        m_text += c;
        return *this;
    }
    friend CStringW operator+(const CStringW& a, const CStringW& b) { return CStringW(a.m_text + b.m_text); }
    friend CStringW operator+(const CStringW& a, LPCWSTR b) { return CStringW(a.m_text + (b ? b : u"")); }
    friend CStringW operator+(LPCWSTR a, const CStringW& b) { return CStringW((a ? a : u"") + b.m_text); }
    friend bool operator==(const CStringW& a, const CStringW& b) { return a.m_text == b.m_text; }
    friend bool operator==(const CStringW& a, LPCWSTR b) { return a.m_text == (b ? b : u""); }
    friend bool operator!=(const CStringW& a, const CStringW& b) { return !(a == b); }
    friend bool operator!=(const CStringW& a, LPCWSTR b) { return !(a == b); }
    friend bool operator<(const CStringW& a, const CStringW& b) { return a.m_text < b.m_text; }

    const std::u16string& Text() const { return m_text; }

private:
    static int Position(size_t at) { return at == std::u16string::npos ? -1 : static_cast<int>(at); }
    std::u16string m_text;
};

// printf for wide formats: flags '-' and '0', a width, a precision for texts, the length letters
// h, l, ll and I64, and the conversions d i u x X c s S %.
inline void CStringW::FormatV(LPCWSTR format, va_list args)
{
    m_text.clear();
    for (const WCHAR* p = format; p && *p; ++p) {
        if (*p != u'%') {
            m_text += *p;
            continue;
        }
        if (*++p == u'%') {
            m_text += u'%';
            continue;
        }
        std::string conversion = "%";
        while (*p == u'-' || *p == u'0' || *p == u'+' || *p == u' ' || *p == u'#') conversion += static_cast<char>(*p++);
        while (*p >= u'0' && *p <= u'9') conversion += static_cast<char>(*p++);
        int precision = -1;
        if (*p == u'.') {
            precision = 0;
            for (++p; *p >= u'0' && *p <= u'9'; ++p) precision = precision * 10 + (*p - u'0');
        }
        bool wide64 = false;
        while (*p == u'h' || *p == u'l' || *p == u'I' || *p == u'6' || *p == u'4') {
            if (*p == u'I' || (*p == u'l' && p[1] == u'l')) wide64 = true;
            ++p;
        }
        char out[64];
        switch (*p) {
        case u'd':
        case u'i':
            conversion += "lld";
            std::snprintf(out, sizeof out, conversion.c_str(), wide64 ? va_arg(args, long long) : va_arg(args, int));
            break;
        case u'u':
        case u'x':
        case u'X':
            conversion += "ll";
            conversion += static_cast<char>(*p);
            std::snprintf(out, sizeof out, conversion.c_str(),
                          wide64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int));
            break;
        case u'c': m_text += static_cast<WCHAR>(va_arg(args, int)); continue;
        case u's': {
            LPCWSTR text = va_arg(args, LPCWSTR);
            std::u16string value = text ? text : u"(null)";
            if (precision >= 0 && value.size() > static_cast<size_t>(precision)) value.resize(precision);
            m_text += value;
            continue;
        }
        case u'S': {
            const char* text = va_arg(args, const char*);
            for (; text && *text; ++text) m_text += static_cast<WCHAR>(static_cast<unsigned char>(*text));
            continue;
        }
        default: continue;
        }
        for (const char* c = out; *c; ++c) m_text += static_cast<WCHAR>(*c);
    }
}

typedef CStringW CString;

}  // namespace ATL
