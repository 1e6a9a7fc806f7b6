// Containers of the tree builder, sized for millions of nodes: open-addressing
// tables keyed by node id or pointer, with no allocation per entry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

class CFileNode;

namespace treeindex {

inline uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Linear-probing table from an int64 key to V. INT64_MIN is reserved as the
// empty key (no file system numbers its nodes with it). Keys and values share
// one slot, so a lookup touches one cache line.
template <class V>
class IdTable {
public:
    static constexpr int64_t kEmpty = std::numeric_limits<int64_t>::min();

    V* Find(int64_t key) {
        if (m_count == 0 || key == kEmpty) return nullptr;
        for (size_t i = Home(key);; i = (i + 1) & m_mask) {
            if (m_slots[i].key == kEmpty) return nullptr;
            if (m_slots[i].key == key) return &m_slots[i].value;
        }
    }

    // The value under key, default-made when absent. Null for the reserved key.
    V* Insert(int64_t key) {
        if (key == kEmpty) return nullptr;
        if ((m_count + 1) * 4 > m_slots.size() * 3) Grow();
        size_t i = Home(key);
        for (; m_slots[i].key != kEmpty; i = (i + 1) & m_mask)
            if (m_slots[i].key == key) return &m_slots[i].value;
        m_slots[i].key = key;
        m_slots[i].value = V();
        ++m_count;
        return &m_slots[i].value;
    }

    void Erase(int64_t key) {
        if (m_count == 0 || key == kEmpty) return;
        size_t i = Home(key);
        for (;; i = (i + 1) & m_mask) {
            if (m_slots[i].key == kEmpty) return;
            if (m_slots[i].key == key) break;
        }
        // Backward-shift deletion keeps every probe sequence unbroken.
        size_t hole = i;
        for (size_t j = (i + 1) & m_mask; m_slots[j].key != kEmpty; j = (j + 1) & m_mask) {
            const size_t home = Home(m_slots[j].key);
            const bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
            if (movable) {
                m_slots[hole].key = m_slots[j].key;
                m_slots[hole].value = std::move(m_slots[j].value);
                hole = j;
            }
        }
        m_slots[hole].key = kEmpty;
        m_slots[hole].value = V();
        --m_count;
    }

    template <class F>
    void ForEach(F&& f) {
        for (Slot& slot : m_slots)
            if (slot.key != kEmpty) f(slot.key, slot.value);
    }

    void Clear() {
        std::vector<Slot>().swap(m_slots);
        m_count = 0;
        m_mask = 0;
    }

    size_t Size() const { return m_count; }

private:
    struct Slot {
        int64_t key = kEmpty;
        V value{};
    };

    size_t Home(int64_t key) const { return static_cast<size_t>(Mix(static_cast<uint64_t>(key))) & m_mask; }

    void Grow() {
        const size_t size = m_slots.empty() ? 16 : m_slots.size() * 2;
        std::vector<Slot> old(size);
        std::swap(old, m_slots);
        m_mask = size - 1;
        for (Slot& slot : old) {
            if (slot.key == kEmpty) continue;
            size_t j = Home(slot.key);
            while (m_slots[j].key != kEmpty) j = (j + 1) & m_mask;
            m_slots[j].key = slot.key;
            m_slots[j].value = std::move(slot.value);
        }
    }

    std::vector<Slot> m_slots;
    size_t m_count = 0;
    size_t m_mask = 0;
};

// Set of node pointers (insert and test only).
class PtrSet {
public:
    bool Contains(const void* p) const {
        if (m_count == 0 || p == nullptr) return false;
        const uintptr_t key = reinterpret_cast<uintptr_t>(p);
        for (size_t i = Home(key);; i = (i + 1) & m_mask) {
            if (m_slots[i] == 0) return false;
            if (m_slots[i] == key) return true;
        }
    }
    // true when newly inserted.
    bool Insert(const void* p) {
        if (p == nullptr) return false;
        if ((m_count + 1) * 2 > m_slots.size()) Grow();
        const uintptr_t key = reinterpret_cast<uintptr_t>(p);
        size_t i = Home(key);
        for (; m_slots[i] != 0; i = (i + 1) & m_mask)
            if (m_slots[i] == key) return false;
        m_slots[i] = key;
        ++m_count;
        return true;
    }
    template <class F>
    void ForEach(F&& f) const {
        for (uintptr_t s : m_slots)
            if (s != 0) f(reinterpret_cast<CFileNode*>(s));
    }
    void Clear() {
        std::vector<uintptr_t>().swap(m_slots);
        m_count = 0;
        m_mask = 0;
    }
    size_t Size() const { return m_count; }

private:
    size_t Home(uintptr_t key) const { return static_cast<size_t>(Mix(key)) & m_mask; }
    void Grow() {
        const size_t size = m_slots.empty() ? 16 : m_slots.size() * 2;
        std::vector<uintptr_t> old(size, 0);
        std::swap(old, m_slots);
        m_mask = size - 1;
        for (uintptr_t key : old) {
            if (key == 0) continue;
            size_t i = Home(key);
            while (m_slots[i] != 0) i = (i + 1) & m_mask;
            m_slots[i] = key;
        }
    }
    std::vector<uintptr_t> m_slots;
    size_t m_count = 0;
    size_t m_mask = 0;
};

// Nodes waiting for a folder id that has not been found yet, indexed by that
// id so a late-found folder wakes exactly its own children.
class WaitIndex {
public:
    void Add(int64_t parentId, CFileNode* node) {
        int32_t* head = m_heads.Insert(parentId);
        if (head == nullptr) return;
        const int32_t first = *head - 1;  // heads keep entry index + 1; 0 is "none"
        // A chain top is re-offered once per child that climbs into it; keep one entry.
        if (first >= 0 && m_entries[first].node == node) return;
        int32_t e;
        if (m_free >= 0) {
            e = m_free;
            m_free = m_entries[e].next;
        } else {
            e = static_cast<int32_t>(m_entries.size());
            m_entries.push_back({});
        }
        m_entries[e] = {node, first};
        *head = e + 1;
    }

    // Moves the nodes waiting for id into out, oldest first.
    void Take(int64_t parentId, std::vector<CFileNode*>& out) {
        out.clear();
        int32_t* head = m_heads.Find(parentId);
        if (head == nullptr) return;
        for (int32_t e = *head - 1; e >= 0;) {
            const int32_t next = m_entries[e].next;
            out.push_back(m_entries[e].node);
            m_entries[e] = {nullptr, m_free};
            m_free = e;
            e = next;
        }
        m_heads.Erase(parentId);
        std::reverse(out.begin(), out.end());
    }

    void Clear() {
        m_heads.Clear();
        std::vector<Entry>().swap(m_entries);
        m_free = -1;
    }

private:
    struct Entry {
        CFileNode* node = nullptr;
        int32_t next = -1;
    };
    IdTable<int32_t> m_heads;
    std::vector<Entry> m_entries;
    int32_t m_free = -1;
};

}  // namespace treeindex
