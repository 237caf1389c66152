#pragma once

#include <algorithm>
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

    /** Reals of a buffer for appends of at most `widest` columns between flushes. */
    static constexpr std::size_t bufferSize(std::size_t widest) { return (widest + kLanes - 1) * kLanes; }

    /**
     * Stages a group whose lane j writes to rows[j] (lanes may share a row),
     * in a buffer of bufferSize() Reals. A stage lives for one group, so its
     * bookkeeping stays in registers.
     */
    KELO_LANE_INLINE ColumnStage(Real* buffer, const std::array<Real*, kLanes>& rows)
        : m_columns(buffer), m_rows(rows) {}

    /**
     * The next `width` columns: column k of lane j goes to the returned
     * pointer + k * kLanes + j. The buffer must have room for them: whole
     * blocks are flushed between appends unless it holds all of a group's.
     */
    KELO_LANE_INLINE Real* append(std::size_t width) {
        Real* next = m_columns + m_staged * kLanes;
        m_staged += width;
        return next;
    }

    /** The columns of every row written so far, from the first. */
    std::size_t written() const { return m_written; }

    /**
     * The blocks at an edge that may share a cache line with another flush or
     * another row: 64 bytes of every row, at the end of a flush and at the
     * start of the rows.
     */
    static constexpr std::size_t kEdgeBlocks = 64 / (kLanes * sizeof(Real));

    /**
     * From now on, a flush that streamsNext() streams its blocks straight to
     * rows[j] + column (Lanes::storeColumns), every row there aligned to 16
     * bytes, but for its last kEdgeBlocks, which go on to the rows the stage
     * writes, as do the rows' first kEdgeBlocks.
     */
    KELO_LANE_INLINE void streamTo(const std::array<Real*, kLanes>& rows) { m_streamed = rows; }

    /** Whether the next flush streams blocks to the rows of streamTo(). */
    KELO_LANE_INLINE bool streamsNext() const {
        return L::streamsBlocks && m_streamed[0] != nullptr && m_written >= kEdgeBlocks * kLanes &&
               m_staged > kEdgeBlocks * kLanes;
    }

    /** The column of every row up to which the last flush streamed to the rows of streamTo(). */
    std::size_t streamedUntil() const { return m_streamedUntil; }

    /** Writes every whole block staged, and keeps the rest for later. */
    KELO_LANE_INLINE void flushBlocks() {
        const std::size_t blocks = m_staged / kLanes;
        const std::size_t streamed = streamsNext() ? blocks - kEdgeBlocks : 0;
        m_streamedUntil = m_written + streamed * kLanes;
        const Real* block = m_columns;
        std::size_t b = 0;
        if constexpr (L::streamsBlocks) {
            for (; b < streamed; ++b, block += kLanes * kLanes) {
                L::template storeColumns<true>(m_streamed.data(), m_written + b * kLanes, block);
            }
        }
        for (; b < blocks; ++b, block += kLanes * kLanes) {
            L::storeColumns(m_rows.data(), m_written + b * kLanes, block);
        }
        m_written += blocks * kLanes;
        m_staged -= blocks * kLanes;
        for (std::size_t k = 0; blocks > 0 && k < m_staged; ++k) {
            L::store(m_columns + k * kLanes, L::load(block + k * kLanes));
        }
    }

    /**
     * Writes everything staged. While no block has been flushed, the rows are
     * written in whole blocks: the last one ends where the rows end, rewriting
     * columns of the block before with the same values. Rows narrower than a
     * block that follow one another are written in order, each in one block
     * that spills into the rows after it, as long as that stays within the
     * group's rows. Otherwise the last columns go lane by lane.
     */
    KELO_LANE_INLINE void finish() {
        m_streamed = {};  // the rows' last columns go where the stage writes
        if (m_written == 0 && m_staged >= kLanes) {
            const std::size_t last = m_staged - kLanes;
            for (std::size_t k = 0; k < last; k += kLanes) {
                L::storeColumns(m_rows.data(), k, m_columns + k * kLanes);
            }
            L::storeColumns(m_rows.data(), last, m_columns + last * kLanes);
            return;
        }
        const std::size_t rowsApart = m_staged * (kLanes - 1);
        if (m_written == 0 && m_staged > 0 && m_rows[kLanes - 1] - m_rows[0] == std::ptrdiff_t(rowsApart)) {
            Real blocks[kLanes * kLanes];
            std::array<Real*, kLanes> rows;
            for (std::size_t j = 0; j < kLanes; ++j) {
                rows[j] = blocks + j * kLanes;
            }
            L::storeColumns(rows.data(), 0, m_columns);
            // Row j's block ends within the group while kLanes - j rows hold a block.
            std::size_t j = 0;
            for (; (kLanes - j) * m_staged >= kLanes; ++j) {
                L::store(m_rows[j], L::load(rows[j]));
            }
            for (; j < kLanes; ++j) {
                std::copy_n(rows[j], m_staged, m_rows[j]);
            }
            return;
        }
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
    std::size_t m_streamedUntil = 0;
    std::array<Real*, kLanes> m_streamed{};  // the rows that flushes stream to, if any
};

}  // namespace kelo::detail
