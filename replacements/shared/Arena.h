// Tables of 100,000 entries that the stand-ins build for one read of the
// policy: every allocation comes from one arena, and the arena frees them
// whole. Heap blocks held by the hundred thousand slow every allocation of
// the process under Wine, and a walk over that many scattered nodes to free
// them costs a cache miss each.
#pragma once

#include <memory_resource>
#include <new>
#include <string_view>
#include <cstring>

namespace standin {

// A T that allocates from the arena only. Its destructor is never run: the
// arena's release frees everything it holds.
template <class T>
class InArena {
public:
    explicit InArena(std::pmr::memory_resource* arena) { new (m_storage) T(arena); }
    InArena(const InArena&) = delete;
    InArena& operator=(const InArena&) = delete;
    T* operator->() noexcept { return std::launder(reinterpret_cast<T*>(m_storage)); }
    const T* operator->() const noexcept
    {
        return std::launder(reinterpret_cast<const T*>(m_storage));
    }
    T& operator*() noexcept { return *operator->(); }
    const T& operator*() const noexcept { return *operator->(); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

// A copy of the text in the arena; empty texts take no room.
inline std::string_view KeepInArena(std::pmr::memory_resource& arena, std::string_view text)
{
    if (text.empty()) return std::string_view();
    char* copy = static_cast<char*>(arena.allocate(text.size(), 1));
    memcpy(copy, text.data(), text.size());
    return std::string_view(copy, text.size());
}

}  // namespace standin
