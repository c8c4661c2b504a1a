// One INF file as SetupAPI reads it: sections of lines, each line an optional key and a list of
// fields. Comments (";" outside quotes) are dropped, a line ending in "\" goes on on the next one,
// quoted fields keep their commas and spaces ("" stands for one quote), and %name% is replaced by
// the [Strings] entry of that name (%% by a single "%"; a directory number such as %12% by its
// path). Section and key names compare without case; a section that appears twice is one section.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu::setup {

struct InfLine {
    std::u16string key;  // empty when the line has no "="
    std::vector<std::u16string> fields;
    unsigned lineNumber = 0;

    std::u16string Field(size_t index) const { return index < fields.size() ? fields[index] : std::u16string(); }
};

class InfFile {
public:
    // Reads the text of an INF file; `name` is how it is known ("PORTDRV.INF").
    static InfFile Parse(std::u16string name, std::u16string_view text);
    static InfFile Parse(std::u16string name, std::string_view utf8Text);

    const std::u16string& Name() const { return m_name; }
    bool HasSection(std::u16string_view section) const;
    // The lines of a section, in file order (none for a missing section).
    const std::vector<InfLine>& Lines(std::u16string_view section) const;
    // The fields of every line with this key in the section (a key may repeat: "AddReg = A, B").
    std::vector<std::u16string> Values(std::u16string_view section, std::u16string_view key) const;
    // The first field of the first line with this key.
    std::optional<std::u16string> Value(std::u16string_view section, std::u16string_view key) const;

private:
    struct Section {
        std::u16string name;
        std::vector<InfLine> lines;
    };
    const Section* Find(std::u16string_view section) const;
    Section& FindOrAdd(std::u16string_view section);
    void SubstituteStrings();

    std::u16string m_name;
    std::vector<Section> m_sections;
};

// Upper case of ASCII letters, the rest unchanged.
std::u16string UpperAscii(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string Widen(std::string_view text);
std::string Narrow(std::u16string_view text);

// The paths of the directory numbers an INF names (10 the Windows directory, 11 the system
// directory, 12 the drivers directory, 17 the INF directory) on the running machine's system
// profile; empty for one this machine does not have.
std::u16string DirectoryOfId(unsigned dirId);

}  // namespace emu::setup
