// A table from a key's hash to role indexes, open addressing in one flat
// array of (hash, index) pairs. A lookup reads one slot, mostly; the caller
// confirms a candidate against wherever it keeps the key, so the table holds
// no keys of its own and a store of 100,000 roles fits it in 2 MB, where a
// node-based table spread its buckets, nodes and keys over the whole store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivauth {

class FlatIndex {
public:
    // Room for count entries without growing.
    void Reserve(size_t count)
    {
        size_t capacity = 16;
        while (capacity < count * 2) capacity *= 2;
        if (capacity > m_slots.size()) Rehash(capacity);
    }

    // The first index of the hash that same() confirms, or kNone.
    template <class Same>
    uint32_t Find(uint32_t hash, Same same) const
    {
        if (m_slots.empty()) return kNone;
        size_t mask = m_slots.size() - 1;
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            const Slot& slot = m_slots[at];
            if (slot.index == kNone) return kNone;
            if (slot.hash == hash && same(slot.index)) return slot.index;
        }
    }

    // Adds an entry; the caller has made sure that its key is new.
    // Throws std::bad_alloc.
    void Add(uint32_t hash, uint32_t index)
    {
        if ((m_count + 1) * 2 > m_slots.size()) Rehash(m_slots.empty() ? 16 : m_slots.size() * 2);
        Place(hash, index);
        ++m_count;
    }

    static constexpr uint32_t kNone = 0xFFFFFFFFu;

private:
    struct Slot {
        uint32_t hash;
        uint32_t index;
    };

    void Place(uint32_t hash, uint32_t index) noexcept
    {
        size_t mask = m_slots.size() - 1;
        size_t at = hash & mask;
        while (m_slots[at].index != kNone) at = (at + 1) & mask;
        m_slots[at] = Slot{hash, index};
    }

    void Rehash(size_t capacity)
    {
        std::vector<Slot> old(capacity, Slot{0, kNone});
        old.swap(m_slots);
        for (const Slot& slot : old)
            if (slot.index != kNone) Place(slot.hash, slot.index);
    }

    std::vector<Slot> m_slots;  // a power of two in size, at most half full
    size_t m_count = 0;
};

}  // namespace kivauth
