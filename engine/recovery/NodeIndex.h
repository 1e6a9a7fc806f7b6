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
// empty key (no file system numbers its nodes with it).
template <class V>
class IdTable {
public:
    static constexpr int64_t kEmpty = std::numeric_limits<int64_t>::min();

    V* Find(int64_t key) {
        if (m_count == 0 || key == kEmpty) return nullptr;
        for (size_t i = Home(key);; i = (i + 1) & m_mask) {
            if (m_keys[i] == kEmpty) return nullptr;
            if (m_keys[i] == key) return &m_values[i];
        }
    }

    // The value under key, default-made when absent. Null for the reserved key.
    V* Insert(int64_t key) {
        if (key == kEmpty) return nullptr;
        if ((m_count + 1) * 4 > m_keys.size() * 3) Grow();
        size_t i = Home(key);
        for (; m_keys[i] != kEmpty; i = (i + 1) & m_mask)
            if (m_keys[i] == key) return &m_values[i];
        m_keys[i] = key;
        m_values[i] = V();
        ++m_count;
        return &m_values[i];
    }

    void Erase(int64_t key) {
        if (m_count == 0 || key == kEmpty) return;
        size_t i = Home(key);
        for (;; i = (i + 1) & m_mask) {
            if (m_keys[i] == kEmpty) return;
            if (m_keys[i] == key) break;
        }
        // Backward-shift deletion keeps every probe sequence unbroken.
        size_t hole = i;
        for (size_t j = (i + 1) & m_mask; m_keys[j] != kEmpty; j = (j + 1) & m_mask) {
            const size_t home = Home(m_keys[j]);
            const bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
            if (movable) {
                m_keys[hole] = m_keys[j];
                m_values[hole] = std::move(m_values[j]);
                hole = j;
            }
        }
        m_keys[hole] = kEmpty;
        m_values[hole] = V();
        --m_count;
    }

    template <class F>
    void ForEach(F&& f) {
        for (size_t i = 0; i < m_keys.size(); ++i)
            if (m_keys[i] != kEmpty) f(m_keys[i], m_values[i]);
    }

    void Clear() {
        std::vector<int64_t>().swap(m_keys);
        std::vector<V>().swap(m_values);
        m_count = 0;
        m_mask = 0;
    }

    size_t Size() const { return m_count; }

private:
    size_t Home(int64_t key) const { return static_cast<size_t>(Mix(static_cast<uint64_t>(key))) & m_mask; }

    void Grow() {
        const size_t size = m_keys.empty() ? 16 : m_keys.size() * 2;
        std::vector<int64_t> keys(size, kEmpty);
        std::vector<V> values(size);
        std::swap(keys, m_keys);
        std::swap(values, m_values);
        m_mask = size - 1;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == kEmpty) continue;
            size_t j = Home(keys[i]);
            while (m_keys[j] != kEmpty) j = (j + 1) & m_mask;
            m_keys[j] = keys[i];
            m_values[j] = std::move(values[i]);
        }
    }

    std::vector<int64_t> m_keys;
    std::vector<V> m_values;
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
