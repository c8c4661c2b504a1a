// Inside the registry: the key nodes and the body of a key handle. Every field of a key is
// guarded by the registry's mutex.
#pragma once

#include "cm/registry.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/rtl_text.h"

namespace emu {

struct NamedValue {
    std::u16string name;  // as first set
    RegistryValue value;
};

struct Registry::Key {
    std::u16string name;  // as created
    Key* parent = nullptr;  // null for the root and for a deleted key
    std::vector<std::shared_ptr<Key>> subkeys;  // ordered by CompareNoCase
    std::vector<NamedValue> values;  // in the order they were created
    bool deleted = false;
    bool permanent = false;  // the top of the standard tree cannot be deleted
    LONGLONG lastWriteTime = 0;
    std::vector<uint8_t> security;  // self-relative descriptor; empty: none set (administrators own it)

    std::shared_ptr<Key> Subkey(std::u16string_view subkeyName) const
    {
        for (const auto& subkey : subkeys)
            if (EqualNoCase(subkey->name, subkeyName)) return subkey;
        return nullptr;
    }

    void Insert(std::shared_ptr<Key> subkey)
    {
        auto position = std::find_if(subkeys.begin(), subkeys.end(), [&](const std::shared_ptr<Key>& other) {
            return CompareNoCase(subkey->name, other->name) < 0;
        });
        subkey->parent = this;
        subkeys.insert(position, std::move(subkey));
    }

    NamedValue* Value(std::u16string_view valueName)
    {
        for (auto& value : values)
            if (EqualNoCase(value.name, valueName)) return &value;
        return nullptr;
    }
};

// The object a key handle refers to: Windows makes one per open.
struct KeyObject {
    std::shared_ptr<Registry::Key> key;
};

// Splits an absolute path ("\Registry\..." in any case) into the components below "\Registry";
// false for anything else, including empty components.
bool SplitRegistryPath(std::u16string_view path, std::vector<std::u16string_view>& parts);
// Splits a name relative to a key; false for a leading backslash or an empty component.
bool SplitRelativeName(std::u16string_view name, std::vector<std::u16string_view>& parts);

}  // namespace emu
