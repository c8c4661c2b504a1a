#include "inf_store.h"

#include <functional>

namespace emu::setup {
namespace {

constexpr unsigned kServiceAssociated = 0x00000002;  // SPSVCINST_ASSOCSERVICE
constexpr unsigned kCompatibleRank = 0x1000;

unsigned ParseNumber(const std::u16string& text)
{
    const std::string narrow = Narrow(text);
    return unsigned(std::strtoul(narrow.c_str(), nullptr, 0));
}

}  // namespace

std::u16string DecoratedSection(const InfFile& inf, std::u16string_view name)
{
    for (const char16_t* decoration : {u".NTamd64", u".NT"}) {
        std::u16string decorated = std::u16string(name) + decoration;
        if (inf.HasSection(decorated)) return decorated;
    }
    return std::u16string(name);
}

std::u16string AssociatedService(const InfFile& inf, std::u16string_view installSection)
{
    for (const InfLine& line : inf.Lines(std::u16string(installSection) + u".Services"))
        if (EqualNoCase(line.key, u"AddService") && (ParseNumber(line.Field(1)) & kServiceAssociated))
            return line.Field(0);
    return {};
}

void InfStore::Add(InfFile inf, PackageFiles files)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [&](const Entry& e) { return EqualNoCase(e.inf->Name(), inf.Name()); });
    m_entries.push_back({std::make_unique<InfFile>(std::move(inf)), std::make_unique<PackageFiles>(std::move(files))});
}

bool InfStore::Remove(std::u16string_view name)
{
    std::lock_guard lock(m_mutex);
    return std::erase_if(m_entries, [&](const Entry& e) { return EqualNoCase(e.inf->Name(), name); }) != 0;
}

std::vector<std::u16string> InfStore::Names() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::u16string> names;
    for (const Entry& e : m_entries) names.push_back(e.inf->Name());
    return names;
}

const InfFile* InfStore::Find(std::u16string_view name) const
{
    std::lock_guard lock(m_mutex);
    for (const Entry& e : m_entries)
        if (EqualNoCase(e.inf->Name(), name)) return e.inf.get();
    return nullptr;
}

void InfStore::ForEachModel(const Entry& entry,
                            const std::function<void(const InfLine&, DriverInstallInfo&)>& visit) const
{
    const InfFile& inf = *entry.inf;
    DriverInstallInfo base;
    base.inf = &inf;
    base.files = entry.files.get();
    base.classGuid = inf.Value(u"Version", u"ClassGuid").value_or(u"");
    base.className = inf.Value(u"Version", u"Class").value_or(u"");
    base.provider = inf.Value(u"Version", u"Provider").value_or(u"");
    for (const InfLine& maker : inf.Lines(u"Manufacturer")) {
        if (maker.fields.empty() || maker.fields[0].empty()) continue;
        // "name = models, NTamd64": the decorated section when the INF has it.
        std::u16string models = maker.fields[0];
        for (size_t i = 1; i < maker.fields.size(); ++i)
            if (inf.HasSection(maker.fields[0] + u"." + maker.fields[i])) models = maker.fields[0] + u"." + maker.fields[i];
        for (const InfLine& model : inf.Lines(models)) {
            if (model.fields.size() < 2) continue;
            DriverInstallInfo info = base;
            info.manufacturer = maker.key;
            info.description = model.key;
            info.installSection = DecoratedSection(inf, model.fields[0]);
            info.service = AssociatedService(inf, info.installSection);
            visit(model, info);
        }
    }
}

std::optional<DriverInstallInfo> InfStore::SelectDriver(const std::vector<std::u16string>& hardwareIds,
                                                        const std::vector<std::u16string>& compatibleIds) const
{
    std::lock_guard lock(m_mutex);
    std::optional<DriverInstallInfo> best;
    auto rankOf = [&](const std::u16string& id) -> std::optional<unsigned> {
        for (size_t i = 0; i < hardwareIds.size(); ++i)
            if (EqualNoCase(hardwareIds[i], id)) return unsigned(i);
        for (size_t i = 0; i < compatibleIds.size(); ++i)
            if (EqualNoCase(compatibleIds[i], id)) return kCompatibleRank + unsigned(i);
        return std::nullopt;
    };
    for (const Entry& entry : m_entries)
        ForEachModel(entry, [&](const InfLine& model, DriverInstallInfo& info) {
            // The model's own hardware ID ranks as listed; its compatible IDs one step worse.
            for (size_t f = 1; f < model.fields.size(); ++f) {
                std::optional<unsigned> rank = rankOf(model.fields[f]);
                if (!rank || (best && best->rank <= *rank)) continue;
                info.matchingId = model.fields[f];
                info.rank = *rank;
                best = info;
            }
        });
    return best;
}

std::vector<std::pair<std::u16string, DriverInstallInfo>> InfStore::Models() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<std::u16string, DriverInstallInfo>> models;
    for (const Entry& entry : m_entries)
        ForEachModel(entry, [&](const InfLine& model, DriverInstallInfo& info) {
            for (size_t f = 1; f < model.fields.size(); ++f)
                if (!model.fields[f].empty()) {
                    info.matchingId = model.fields[f];
                    models.emplace_back(model.fields[f], info);
                }
        });
    return models;
}

}  // namespace emu::setup
