// Security descriptors as values: reading one a program built (absolute) or the system stored
// (self-relative), writing the self-relative form, and the access check a token meets against it.
#pragma once

#include <optional>
#include <vector>

#include "token.h"

namespace emu::process {

struct Ace {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    SidBytes sid;
    bool operator==(const Ace&) const = default;
};

struct Descriptor {
    std::optional<SidBytes> owner;
    std::optional<SidBytes> group;
    bool daclPresent = false;
    // With daclPresent: nullopt is a null DACL (everyone may do anything), an empty list denies all.
    std::optional<std::vector<Ace>> dacl;
    bool operator==(const Descriptor&) const = default;
};

// The entries of an ACL, or nullopt when it is malformed.
std::optional<std::vector<Ace>> ReadAcl(const ACL* acl);
// A descriptor in either form, or nullopt when it is malformed.
std::optional<Descriptor> ReadDescriptor(const void* descriptor);
std::vector<uint8_t> SelfRelative(const Descriptor& descriptor);

// The rights of `desired` that the token is granted: entries in order, a deny entry for an
// enabled or deny-only group refuses its rights, an allow entry for an enabled group grants them;
// the owner may always read and change the DACL. MAXIMUM_ALLOWED asks for everything grantable.
ACCESS_MASK GrantedAccess(const Token& token, const Descriptor& descriptor, ACCESS_MASK desired, ACCESS_MASK allRights);

// What a registry key has when none was set: owned by Administrators, full access for
// Administrators and SYSTEM, reading for Users.
Descriptor DefaultKeyDescriptor();

}  // namespace emu::process
