#include "inf_file.h"

#include <cstdlib>

#include "kernel.h"
#include "system_profile.h"

namespace emu::setup {
namespace {

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\f' || c == u'\v'; }

std::u16string Trim(std::u16string_view text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    return std::u16string(text.substr(begin, end - begin));
}

// The physical lines joined into logical ones: comments dropped, "\" at the end continues.
struct LogicalLine {
    std::u16string text;
    unsigned number = 0;
};

// Drops a comment; reports whether the line (outside quotes) ends in a continuation mark.
std::u16string StripComment(std::u16string_view line, bool& continues)
{
    bool quoted = false;
    size_t end = line.size();
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == u'"') quoted = !quoted;
        if (line[i] == u';' && !quoted) {
            end = i;
            break;
        }
    }
    std::u16string text = Trim(line.substr(0, end));
    continues = !text.empty() && text.back() == u'\\';
    if (continues) text.pop_back();
    return text;
}

std::vector<LogicalLine> SplitLines(std::u16string_view text)
{
    std::vector<LogicalLine> lines;
    bool joining = false;
    unsigned number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string_view::npos) end = text.size();
        ++number;
        bool continues = false;
        std::u16string part = StripComment(text.substr(start, end - start), continues);
        if (joining)
            lines.back().text += part;
        else
            lines.push_back({part, number});
        joining = continues;
        start = end + 1;
    }
    return lines;
}

// Splits "key = a, "b, c", d" into its key and fields. Quotes are kept (removed after the strings
// are substituted), so a quoted "=" or "," does not split.
InfLine SplitFields(const std::u16string& text, unsigned number)
{
    InfLine line;
    line.lineNumber = number;
    std::vector<std::u16string> parts;
    std::u16string current;
    bool quoted = false, sawKey = false;
    for (char16_t c : text) {
        if (c == u'"') quoted = !quoted;
        if (!quoted && c == u'=' && !sawKey && parts.empty()) {
            line.key = Trim(current);
            current.clear();
            sawKey = true;
            continue;
        }
        if (!quoted && c == u',') {
            parts.push_back(Trim(current));
            current.clear();
            continue;
        }
        current += c;
    }
    parts.push_back(Trim(current));
    line.fields = std::move(parts);
    return line;
}

// Replaces %name% in one field and removes its quotes ("" inside quotes is one quote).
std::u16string Substitute(std::u16string_view field, const std::vector<InfLine>& strings)
{
    std::u16string out;
    bool quoted = false;
    for (size_t i = 0; i < field.size(); ++i) {
        const char16_t c = field[i];
        if (c == u'"') {
            if (quoted && i + 1 < field.size() && field[i + 1] == u'"') {
                out += u'"';
                ++i;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        const size_t close = c == u'%' ? field.find(u'%', i + 1) : std::u16string_view::npos;
        if (close == std::u16string_view::npos) {
            out += c;
            continue;
        }
        const std::u16string_view name = field.substr(i + 1, close - i - 1);
        i = close;
        if (name.empty()) {
            out += u'%';
            continue;
        }
        bool found = false;
        for (const InfLine& entry : strings)
            if (EqualNoCase(entry.key, name)) {
                out += Substitute(entry.Field(0), {});
                found = true;
                break;
            }
        if (found) continue;
        char* end = nullptr;
        const std::string digits = Narrow(name);
        const unsigned long dirId = std::strtoul(digits.c_str(), &end, 10);
        const std::u16string directory = end && *end == 0 ? DirectoryOfId(unsigned(dirId)) : std::u16string();
        out += directory.empty() ? u"%" + std::u16string(name) + u"%" : directory;
    }
    return out;
}

}  // namespace

std::u16string UpperAscii(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& c : out)
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) { return UpperAscii(a) == UpperAscii(b); }

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::string Narrow(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
    return out;
}

std::u16string DirectoryOfId(unsigned dirId)
{
    // The running machine's folders; an INF read with no machine running sees the default ones.
    const bool running = Kernel::TryCurrent() != nullptr;
    const std::u16string windows = running ? emu::process::SystemProfile::Current().WindowsDirectory() : u"C:\\WINDOWS";
    const std::u16string system = running ? emu::process::SystemProfile::Current().SystemDirectory() : windows + u"\\system32";
    switch (dirId) {
    case 10: return windows;
    case 11: return system;
    case 12: return system + u"\\drivers";
    case 17: return windows + u"\\inf";
    default: return {};
    }
}

InfFile InfFile::Parse(std::u16string name, std::string_view utf8Text)
{
    // The package's INF files are ASCII; other bytes pass through as Latin-1.
    std::u16string text;
    for (unsigned char c : utf8Text) text += char16_t(c);
    return Parse(std::move(name), text);
}

InfFile InfFile::Parse(std::u16string name, std::u16string_view text)
{
    InfFile file;
    file.m_name = std::move(name);
    Section* current = nullptr;
    for (const LogicalLine& logical : SplitLines(text)) {
        if (logical.text.empty()) continue;
        if (logical.text.front() == u'[') {
            const size_t close = logical.text.find(u']');
            current = &file.FindOrAdd(Trim(logical.text.substr(1, close == std::u16string::npos ? close : close - 1)));
            continue;
        }
        if (current) current->lines.push_back(SplitFields(logical.text, logical.number));
    }
    file.SubstituteStrings();
    return file;
}

void InfFile::SubstituteStrings()
{
    const std::vector<InfLine> strings = Lines(u"Strings");
    for (Section& section : m_sections) {
        const bool isStrings = EqualNoCase(section.name, u"Strings");
        for (InfLine& line : section.lines) {
            line.key = Substitute(line.key, isStrings ? std::vector<InfLine>{} : strings);
            for (std::u16string& field : line.fields) field = Substitute(field, isStrings ? std::vector<InfLine>{} : strings);
        }
    }
}

const InfFile::Section* InfFile::Find(std::u16string_view section) const
{
    for (const Section& s : m_sections)
        if (EqualNoCase(s.name, section)) return &s;
    return nullptr;
}

InfFile::Section& InfFile::FindOrAdd(std::u16string_view section)
{
    for (Section& s : m_sections)
        if (EqualNoCase(s.name, section)) return s;
    m_sections.push_back({std::u16string(section), {}});
    return m_sections.back();
}

bool InfFile::HasSection(std::u16string_view section) const { return Find(section) != nullptr; }

const std::vector<InfLine>& InfFile::Lines(std::u16string_view section) const
{
    static const std::vector<InfLine> kNone;
    const Section* s = Find(section);
    return s ? s->lines : kNone;
}

std::vector<std::u16string> InfFile::Values(std::u16string_view section, std::u16string_view key) const
{
    std::vector<std::u16string> values;
    for (const InfLine& line : Lines(section))
        if (EqualNoCase(line.key, key))
            for (const std::u16string& field : line.fields)
                if (!field.empty()) values.push_back(field);
    return values;
}

std::optional<std::u16string> InfFile::Value(std::u16string_view section, std::u16string_view key) const
{
    for (const InfLine& line : Lines(section))
        if (EqualNoCase(line.key, key)) return line.Field(0);
    return std::nullopt;
}

}  // namespace emu::setup
