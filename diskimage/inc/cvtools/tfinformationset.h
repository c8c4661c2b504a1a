// Information set: an ordered list of named 32-bit numbers and strings, each bound to a variable of
// the set's owner. The set is serialised for the property pages in the order its items were added.
#pragma once

#include "tfobject.h"
#include "tfpointerlist.h"
#include "tfserialisation.h"
#include "tfstring.h"

class CTfRegistryValueConstraint;

// Item kinds.
#define TF_ITEM_KIND_DWORD 1   // target is a ULONG, default a tracked 4-byte buffer
#define TF_ITEM_KIND_STRING 2  // target is a CTfString, default a CTfString

class CTfInformationSetItem : public CTfObjectBase {
public:
    CTfInformationSetItem();
    // Frees the default by its kind; the name goes with the item. The constraint is not the item's.
    virtual ~CTfInformationSetItem();

    ULONG m_ulRequired;  // non-zero: the value has no default
    CTfString m_Name;
    PVOID m_pTarget;
    PVOID m_pDefault;
    ULONG m_ulKind;
    CTfRegistryValueConstraint* m_pConstraint;
};

// Copy of the values of every item of a set, taken so that a failed update can be rolled back.
class CTfInformationSetSnapshot : public CTfObjectBase {
public:
    explicit CTfInformationSetSnapshot(POOL_TYPE PoolType = NonPagedPool);
    virtual ~CTfInformationSetSnapshot();

    void m_Free();
    ULONG m_GetCount() const { return m_ulCount; }

private:
    friend class CTfInformationSet;

    typedef struct _TF_SAVED_VALUE {
        PVOID pTarget;
        ULONG ulKind;
        ULONG ulValue;
        CTfString* pString;
    } TF_SAVED_VALUE, *PTF_SAVED_VALUE;

    PTF_SAVED_VALUE m_pValues;
    ULONG m_ulCount;
    POOL_TYPE m_PoolType;

    CTfInformationSetSnapshot(const CTfInformationSetSnapshot&) = delete;
    CTfInformationSetSnapshot& operator=(const CTfInformationSetSnapshot&) = delete;
};

class CTfInformationSet : public CTfObject {
public:
    CTfInformationSet();
    // Deletes every item.
    virtual ~CTfInformationSet();

    CTfSerialisation* m_GetSerialisation() { return &m_Serialisation; }

    // Flags 0 means the flags in force; other flags are used for this call only.
    ULONG GetSerialisedSize(ULONG ulFlags);
    BOOLEAN Serialise(PVOID pBuffer, ULONG ulLength, ULONG ulFlags);
    // The values go straight into the targets; a failure leaves the items read so far changed
    // (see m_SaveValues / m_RestoreValues to undo that).
    BOOLEAN Deserialise(PVOID pBuffer, ULONG ulLength, ULONG ulFlags);

    // Copies every target's current value into the snapshot (replacing what it held).
    BOOLEAN m_SaveValues(CTfInformationSetSnapshot* pSnapshot);
    // Puts the saved values back; FALSE when the set no longer matches the snapshot (nothing is
    // changed then) or a string could not be restored.
    BOOLEAN m_RestoreValues(CTfInformationSetSnapshot* pSnapshot);

    ULONG m_GetItemCount();
    // Walk of the items in list order; null at the end.
    CTfInformationSetItem* m_GetFirstItem();
    CTfInformationSetItem* m_GetNextItem();

    // Removes every item and deletes it.
    void m_DeleteAll();

protected:
    // Appends an item the caller built; FALSE (item not taken) when the list node cannot be had.
    BOOLEAN m_AppendItem(CTfInformationSetItem* pItem);
    // Unlinks an item without deleting it; FALSE when it is not in the set.
    BOOLEAN m_RemoveItem(CTfInformationSetItem* pItem);

    CTfSerialisation m_Serialisation;
    CTfPointerList m_ItemList;

private:
    BOOLEAN m_SwitchFlags(ULONG ulFlags, PULONG pulOldFlags);
    void m_RestoreFlags(ULONG ulFlags, ULONG ulOldFlags);

    CTfInformationSet(const CTfInformationSet&) = delete;
    CTfInformationSet& operator=(const CTfInformationSet&) = delete;
};
