// Asks for the cache line that holds an address, ahead of its reading. A
// hint only: it never faults and changes no result.
#pragma once

inline void PrefetchLine(const void* address) noexcept
{
#if defined(__i386__) && !defined(__SSE__)
    // The 32-bit build targets a processor without SSE, for which the
    // compiler's prefetch gives no instruction at all. Every processor that
    // runs a supported Windows has this one.
    __asm__("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}
