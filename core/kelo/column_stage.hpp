#pragma once

#include <array>
#include <cstddef>

#include "kelo/lanes.hpp"

namespace kelo::detail {

/**
 * Stages the outputs of a group of points lane-major, one Vector per column,
 * and writes them to each point's row in order, kLanes columns at a time.
 *
 * A kernel computes a column for all the points of a group at once, but each
 * point's outputs are contiguous: storing every lane of every column on its
 * own would cost one scalar store per value. Transposed blocks cost one
 * vector store per point and block, and the rows fill in order.
 */
template <typename Real>
class ColumnStage {
    using L = Lanes<Real>;

public:
    static constexpr std::size_t kLanes = L::count;

    /** Reals of a buffer for appends of at most `widest` columns. */
    static std::size_t bufferSize(std::size_t widest) { return (widest + kLanes - 1) * kLanes; }

    /**
     * Stages a group whose lane j writes to rows[j] (lanes may share a row),
     * in a buffer of bufferSize() Reals. A stage lives for one group, so its
     * bookkeeping stays in registers.
     */
    KELO_LANE_INLINE ColumnStage(Real* buffer, const std::array<Real*, kLanes>& rows)
        : m_columns(buffer), m_rows(rows) {}

    /**
     * The next `width` columns: column k of lane j goes to the returned
     * pointer + k * kLanes + j. Whole blocks staged earlier must be flushed.
     */
    KELO_LANE_INLINE Real* append(std::size_t width) {
        Real* next = m_columns + m_staged * kLanes;
        m_staged += width;
        return next;
    }

    /** Writes every whole block staged, and keeps the rest for later. */
    KELO_LANE_INLINE void flushBlocks() {
        const std::size_t blocks = m_staged / kLanes;
        const Real* block = m_columns;
        for (std::size_t b = 0; b < blocks; ++b, block += kLanes * kLanes) {
            L::storeColumns(m_rows.data(), m_written + b * kLanes, block);
        }
        m_written += blocks * kLanes;
        m_staged -= blocks * kLanes;
        for (std::size_t k = 0; blocks > 0 && k < m_staged; ++k) {
            L::store(m_columns + k * kLanes, L::load(block + k * kLanes));
        }
    }

    /** Writes everything staged: whole blocks, then the last columns lane by lane. */
    KELO_LANE_INLINE void finish() {
        flushBlocks();
        for (std::size_t j = 0; j < kLanes; ++j) {
            for (std::size_t k = 0; k < m_staged; ++k) {
                m_rows[j][m_written + k] = m_columns[k * kLanes + j];
            }
        }
    }

private:
    Real* m_columns;
    std::array<Real*, kLanes> m_rows;
    std::size_t m_written = 0;  // columns already in the rows
    std::size_t m_staged = 0;   // columns waiting in m_columns
};

}  // namespace kelo::detail
