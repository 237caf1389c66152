#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kelo {

/**
 * Reference-counted handle to one heap array of T.
 *
 * The handle is a single pointer to a block that records the elements, their
 * count and the number of handles sharing them, so a handle costs one pointer
 * and copying it shares the array instead of duplicating it. Elements are
 * default-initialised: arithmetic types hold no defined value (the evaluator
 * overwrites them before reading), std::complex elements start at (0, 0).
 * Indexing is unchecked.
 */
template <typename T>
class SharedArray {
public:
    /** Allocates `length` elements; throws std::bad_alloc and leaks nothing. */
    explicit SharedArray(std::uint32_t length) {
        T* data = new T[length];
        try {
            m_shared = new Block{data, length, 1};
        } catch (...) {
            delete[] data;
            throw;
        }
    }

    SharedArray(const SharedArray& other) noexcept : m_shared(other.m_shared) {
        if (m_shared != nullptr) {
            ++m_shared->m_count;
        }
    }

    SharedArray(SharedArray&& other) noexcept
        : m_shared(std::exchange(other.m_shared, nullptr)) {}

    SharedArray& operator=(SharedArray other) noexcept {
        std::swap(m_shared, other.m_shared);
        return *this;
    }

    ~SharedArray() { release(); }

    T& operator[](std::uint32_t index) const { return m_shared->m_data[index]; }

    T* data() const { return m_shared->m_data; }

    std::uint64_t size() const { return m_shared->m_length; }

private:
    struct Block {
        T* m_data;
        std::uint64_t m_length;
        std::int64_t m_count;
    };

    void release() noexcept {
        if (m_shared != nullptr && --m_shared->m_count == 0) {
            m_shared->m_length = 0;
            delete[] m_shared->m_data;
            m_shared->m_data = nullptr;
            delete m_shared;
        }
        m_shared = nullptr;
    }

    Block* m_shared;
};

}  // namespace kelo
