#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace kelo::detail {

/**
 * The span of memory within which one core's writes slow down another
 * core's accesses: on x86 a pair of 64-byte cache lines, which the
 * adjacent-line prefetcher fetches together. (std::hardware_destructive_
 * interference_size says 64 there, and GCC warns that its value may change.)
 */
constexpr std::size_t kInterferenceSize = 128;

/**
 * The cache lines that a core fills with non-temporal stores at once, in its
 * write-combining buffers; with more, lines leave them part-written. On AMD
 * Zen 4, streams of 16-byte stores into 8 lines in turn kept their speed, and
 * into 12 ran 14 times slower.
 */
constexpr std::size_t kWriteCombiningLines = 8;

/**
 * Allocates whole, aligned spans of kInterferenceSize bytes, which no other
 * block shares. The kernels of the threads of a call are made one after
 * another on the calling thread: from the plain heap, the last line of one
 * thread's tables could be the first of the next thread's, and every write
 * by one would then evict the other's copy.
 */
template <typename T>
struct CacheLineAllocator {
    using value_type = T;

    CacheLineAllocator() = default;
    template <typename U>
    CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}

    static T* allocate(std::size_t n) {
        // Rounded up to whole spans, the bytes must not wrap around.
        if (n > (std::numeric_limits<std::size_t>::max() - kInterferenceSize) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(::operator new(bytes(n), std::align_val_t{kInterferenceSize}));
    }

    static void deallocate(T* p, std::size_t n) noexcept {
        ::operator delete(p, bytes(n), std::align_val_t{kInterferenceSize});
    }

private:
    static std::size_t bytes(std::size_t n) {
        return (n * sizeof(T) + kInterferenceSize - 1) / kInterferenceSize * kInterferenceSize;
    }
};

template <typename T, typename U>
bool operator==(const CacheLineAllocator<T>&, const CacheLineAllocator<U>&) noexcept {
    return true;
}
template <typename T, typename U>
bool operator!=(const CacheLineAllocator<T>&, const CacheLineAllocator<U>&) noexcept {
    return false;
}

/** A thread's workspace, in cache lines of its own (see CacheLineAllocator). */
template <typename T>
using CacheLineVector = std::vector<T, CacheLineAllocator<T>>;

}  // namespace kelo::detail
