// MFC's core for the wizards: CString (the same class as ATL's), and the string and pointer lists.
#pragma once

#include <atlstr.h>

#include <list>

typedef ATL::CStringW CString;

struct __POSITION {};
typedef __POSITION* POSITION;

// A doubly linked list of values in insertion order; a POSITION names one entry.
template <class T>
class CAfxValueList {
public:
    CAfxValueList() = default;
    CAfxValueList(const CAfxValueList&) = delete;
    CAfxValueList& operator=(const CAfxValueList&) = delete;

    POSITION AddTail(const T& value)
    {
        m_items.push_back(value);
        return Position(std::prev(m_items.end()));
    }
    POSITION AddHead(const T& value)
    {
        m_items.push_front(value);
        return Position(m_items.begin());
    }
    INT_PTR GetCount() const { return static_cast<INT_PTR>(m_items.size()); }
    INT_PTR GetSize() const { return GetCount(); }
    BOOL IsEmpty() const { return m_items.empty(); }
    POSITION GetHeadPosition() const { return m_items.empty() ? nullptr : Position(m_items.begin()); }
    POSITION GetTailPosition() const { return m_items.empty() ? nullptr : Position(std::prev(m_items.end())); }
    T& GetHead() { return m_items.front(); }
    T& GetTail() { return m_items.back(); }
    // The entry at the position; the position moves to the next entry (null after the last).
    T& GetNext(POSITION& position)
    {
        auto it = Iterator(position);
        auto next = std::next(it);
        position = next == m_items.end() ? nullptr : Position(next);
        return *it;
    }
    T& GetAt(POSITION position) { return *Iterator(position); }
    POSITION Find(const T& value) const
    {
        for (auto it = m_items.begin(); it != m_items.end(); ++it)
            if (*it == value) return Position(it);
        return nullptr;
    }
    void RemoveAt(POSITION position) { m_items.erase(Iterator(position)); }
    T RemoveHead()
    {
        T value = m_items.front();
        m_items.pop_front();
        return value;
    }
    void RemoveAll() { m_items.clear(); }

private:
    using Node = typename std::list<T>::const_iterator;
    // A position is the address of the entry's value; entries never move in a list.
    POSITION Position(Node it) const { return reinterpret_cast<POSITION>(const_cast<T*>(&*it)); }
    typename std::list<T>::iterator Iterator(POSITION position)
    {
        for (auto it = m_items.begin(); it != m_items.end(); ++it)
            if (reinterpret_cast<POSITION>(&*it) == position) return it;
        return m_items.end();
    }
    std::list<T> m_items;
};

class CStringList : public CAfxValueList<CString> {};
class CPtrList : public CAfxValueList<void*> {};
