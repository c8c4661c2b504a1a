#include "security_descriptor.h"

#include <cstring>

namespace emu::process {

namespace {

constexpr ACCESS_MASK kKeyAllAccess = 0xF003F;
constexpr ACCESS_MASK kKeyRead = 0x20019;

std::optional<SidBytes> SidAtOffset(const uint8_t* base, DWORD offset)
{
    if (!offset) return std::nullopt;
    return SidAt(base + offset);
}

void AppendAcl(std::vector<uint8_t>& out, const std::vector<Ace>& aces)
{
    const size_t start = out.size();
    out.resize(start + sizeof(ACL));
    for (const Ace& ace : aces) {
        ACE_HEADER header{ace.type, ace.flags, static_cast<WORD>(sizeof(ACE_HEADER) + 4 + ace.sid.size())};
        const size_t at = out.size();
        out.resize(at + header.AceSize);
        std::memcpy(out.data() + at, &header, sizeof header);
        std::memcpy(out.data() + at + sizeof header, &ace.mask, 4);
        std::memcpy(out.data() + at + sizeof header + 4, ace.sid.data(), ace.sid.size());
    }
    ACL acl{ACL_REVISION, 0, static_cast<WORD>(out.size() - start), static_cast<WORD>(aces.size()), 0};
    std::memcpy(out.data() + start, &acl, sizeof acl);
}

DWORD AppendSid(std::vector<uint8_t>& out, const std::optional<SidBytes>& sid)
{
    if (!sid) return 0;
    const DWORD offset = static_cast<DWORD>(out.size());
    out.insert(out.end(), sid->begin(), sid->end());
    return offset;
}

}  // namespace

std::optional<std::vector<Ace>> ReadAcl(const ACL* acl)
{
    if (!acl || (acl->AclRevision != ACL_REVISION && acl->AclRevision != ACL_REVISION_DS) || acl->AclSize < sizeof(ACL))
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(acl);
    std::vector<Ace> aces;
    size_t at = sizeof(ACL);
    for (WORD index = 0; index < acl->AceCount; ++index) {
        if (at + sizeof(ACE_HEADER) > acl->AclSize) return std::nullopt;
        ACE_HEADER header;
        std::memcpy(&header, bytes + at, sizeof header);
        if (header.AceSize < sizeof(ACE_HEADER) + 4 + 8 || at + header.AceSize > acl->AclSize) return std::nullopt;
        Ace ace;
        ace.type = header.AceType;
        ace.flags = header.AceFlags;
        std::memcpy(&ace.mask, bytes + at + sizeof header, 4);
        std::optional<SidBytes> sid = SidAt(bytes + at + sizeof header + 4);
        if (!sid || sizeof(ACE_HEADER) + 4 + sid->size() > header.AceSize) return std::nullopt;
        ace.sid = std::move(*sid);
        aces.push_back(std::move(ace));
        at += header.AceSize;
    }
    return aces;
}

std::optional<Descriptor> ReadDescriptor(const void* descriptor)
{
    if (!descriptor) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control;
    std::memcpy(&control, bytes + 2, sizeof control);
    if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return std::nullopt;
    Descriptor result;
    result.daclPresent = (control & SE_DACL_PRESENT) != 0;
    const ACL* dacl = nullptr;
    if (control & SE_SELF_RELATIVE) {
        SECURITY_DESCRIPTOR_RELATIVE relative;
        std::memcpy(&relative, bytes, sizeof relative);
        result.owner = SidAtOffset(bytes, relative.Owner);
        result.group = SidAtOffset(bytes, relative.Group);
        if (relative.Dacl) dacl = reinterpret_cast<const ACL*>(bytes + relative.Dacl);
    } else {
        const auto* absolute = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
        result.owner = SidAt(absolute->Owner);
        result.group = SidAt(absolute->Group);
        dacl = absolute->Dacl;
    }
    if (result.daclPresent && dacl) {
        result.dacl = ReadAcl(dacl);
        if (!result.dacl) return std::nullopt;
    }
    return result;
}

std::vector<uint8_t> SelfRelative(const Descriptor& descriptor)
{
    std::vector<uint8_t> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = SE_SELF_RELATIVE | (descriptor.daclPresent ? SE_DACL_PRESENT : 0);
    header.Owner = AppendSid(out, descriptor.owner);
    header.Group = AppendSid(out, descriptor.group);
    if (descriptor.daclPresent && descriptor.dacl) {
        header.Dacl = static_cast<DWORD>(out.size());
        AppendAcl(out, *descriptor.dacl);
    }
    std::memcpy(out.data(), &header, sizeof header);
    return out;
}

ACCESS_MASK GrantedAccess(const Token& token, const Descriptor& descriptor, ACCESS_MASK desired, ACCESS_MASK allRights)
{
    ACCESS_MASK wanted = (desired & MAXIMUM_ALLOWED) ? allRights : desired;
    ACCESS_MASK granted = 0;
    if (descriptor.owner && token.HasGroup(*descriptor.owner)) granted |= READ_CONTROL | WRITE_DAC;
    if (!descriptor.daclPresent || !descriptor.dacl) return wanted;
    ACCESS_MASK denied = 0;
    for (const Ace& ace : *descriptor.dacl) {
        if (ace.type == ACCESS_DENIED_ACE_TYPE && token.HasGroup(ace.sid, true)) denied |= ace.mask & ~granted;
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE && token.HasGroup(ace.sid)) granted |= ace.mask & ~denied;
    }
    return granted & wanted;
}

Descriptor DefaultKeyDescriptor()
{
    Descriptor descriptor;
    descriptor.owner = AdministratorsSid();
    descriptor.group = LocalSystemSid();
    descriptor.daclPresent = true;
    descriptor.dacl = std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, kKeyAllAccess, AdministratorsSid()},
                                       {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, kKeyAllAccess, LocalSystemSid()},
                                       {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, kKeyRead, UsersSid()}};
    return descriptor;
}

}  // namespace emu::process
