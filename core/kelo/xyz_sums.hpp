#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "kelo/cache_lines.hpp"
#include "kelo/conventions.hpp"
#include "kelo/lanes.hpp"
#include "kelo/thread_blocks.hpp"
#include "kelo/xyz_kernel.hpp"
#include "kelo/xyz_tables.hpp"

namespace kelo {

namespace detail {

/**
 * Sums the harmonics of vectors, times per-vector weights, by group, holding
 * the harmonics of one batch of vectors at a time.
 *
 * Each group's sum is accumulated in the order of the vectors: the sum of
 * group g is (((0 + w_a Y_a) + w_b Y_b) + ...) for its vectors a < b < ...,
 * whichever groups the other vectors belong to. A kernel sums a range of
 * groups and skips the vectors of the others, so ranges on threads of their
 * own give every sum the same bits as one thread does.
 */
template <typename Real, Output output>
class XyzSumKernel {
    using L = Lanes<Real>;
    using Harmonics = XyzKernel<Real, output>;

public:
    /**
     * @param tables the harmonics' tables, which must outlive the kernel
     * @param weightCount the weights per vector, K; each group has K sums
     */
    XyzSumKernel(const XyzTables<Real>& tables, std::size_t weightCount)
        : m_harmonics(tables, false),
          m_width(tables.valueWidth()),
          m_weightCount(weightCount),
          m_batch(batchSize(m_width)),
          m_xyz(3 * m_batch),
          m_members(m_batch),
          m_rows(m_batch * m_width) {}

    /**
     * Writes the sums of the groups firstGroup..lastGroup-1 to their places
     * in sums, K valueWidth() Reals per group: weights[K e + k] times the
     * harmonics of every vector e whose group is g, added up into the k-th
     * valueWidth() Reals of group g; a group without vectors sums to zero.
     * Null weights are all 1.
     *
     * @param groups N group indices, which must all be valid
     */
    void sumGroups(Real* sums, const Real* xyz, const std::int64_t* groups, const Real* weights, std::size_t N,
                   std::size_t firstGroup, std::size_t lastGroup) {
        const std::size_t groupWidth = m_weightCount * m_width;
        std::fill(sums + firstGroup * groupWidth, sums + lastGroup * groupWidth, Real(0));
        std::size_t batched = 0;
        for (std::size_t e = 0; e < N; ++e) {
            const auto group = static_cast<std::size_t>(groups[e]);
            if (group < firstGroup || group >= lastGroup) {
                continue;
            }
            std::copy_n(xyz + 3 * e, 3, m_xyz.data() + 3 * batched);
            m_members[batched] = e;
            if (++batched == m_batch) {
                addBatch(sums, groups, weights, batched);
                batched = 0;
            }
        }
        if (batched > 0) {
            addBatch(sums, groups, weights, batched);
        }
    }

private:
    /**
     * Vectors per batch: enough lane groups to overlap the latencies of their
     * directions, few enough that their harmonics stay in the core's cache.
     */
    static std::size_t batchSize(std::size_t width) {
        constexpr std::size_t kBytes = std::size_t{64} << 10;
        constexpr std::size_t kMostGroups = 8;
        const std::size_t groups = kBytes / (Harmonics::kLanes * width * sizeof(Real));
        return std::clamp<std::size_t>(groups, 1, kMostGroups) * Harmonics::kLanes;
    }

    /** Evaluates the batch's n harmonics and adds them to their groups' sums, in order. */
    void addBatch(Real* sums, const std::int64_t* groups, const Real* weights, std::size_t n) {
        m_harmonics.values(m_xyz.data(), n, m_rows.data());
        accumulate(sums, groups, weights, n);
    }

    KELO_VECTOR_CLONES void accumulate(Real* sums, const std::int64_t* groups, const Real* weights,
                                       std::size_t n) const {
        const std::size_t groupWidth = m_weightCount * m_width;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t e = m_members[i];
            Real* sum = sums + static_cast<std::size_t>(groups[e]) * groupWidth;
            const Real* row = m_rows.data() + i * m_width;
            for (std::size_t k = 0; k < m_weightCount; ++k) {
                if (weights == nullptr) {
                    addRow(sum + k * m_width, row, m_width);
                } else {
                    addScaledRow(sum + k * m_width, weights[e * m_weightCount + k], row, m_width);
                }
            }
        }
    }

    KELO_LANE_INLINE static void addRow(Real* sum, const Real* row, std::size_t width) {
        std::size_t c = 0;
        for (; c + L::count <= width; c += L::count) {
            L::store(sum + c, L::load(sum + c) + L::load(row + c));
        }
        for (; c < width; ++c) {
            sum[c] += row[c];
        }
    }

    KELO_LANE_INLINE static void addScaledRow(Real* sum, Real weight, const Real* row, std::size_t width) {
        std::size_t c = 0;
        for (; c + L::count <= width; c += L::count) {
            L::store(sum + c, L::load(sum + c) + weight * L::load(row + c));
        }
        for (; c < width; ++c) {
            sum[c] += weight * row[c];
        }
    }

    Harmonics m_harmonics;
    std::size_t m_width;
    std::size_t m_weightCount;
    std::size_t m_batch;
    // Each thread writes its kernel's batch.
    CacheLineVector<Real> m_xyz;             // the batch's vectors
    CacheLineVector<std::size_t> m_members;  // their positions among all vectors
    CacheLineVector<Real> m_rows;            // their harmonics
};

/** Throws std::invalid_argument if a group index lies outside [0, nGroups). */
inline void requireGroupsWithin(const std::int64_t* groups, std::size_t N, std::size_t nGroups) {
    for (std::size_t e = 0; e < N; ++e) {
        if (groups[e] < 0 || static_cast<std::uint64_t>(groups[e]) >= nGroups) {
            throw std::invalid_argument("group index " + std::to_string(groups[e]) + " of vector " +
                                        std::to_string(e) + " lies outside [0, " + std::to_string(nGroups) +
                                        ")");
        }
    }
}

/** The sums of sum_SPH_xyz into Reals, on up to `threads` threads, each summing a range of groups. */
template <typename Real, Output output>
void sumXyz(Real* sums, unsigned int lmax, const Real* xyz, std::size_t N, const std::int64_t* groups,
            std::size_t nGroups, const Real* weights, std::size_t K, bool negative_m, Convention convention,
            unsigned int threads) {
    const XyzTables<Real> tables(lmax, negative_m, convention, output, false);
    requireGroupsWithin(groups, N, nGroups);
    using Kernel = XyzSumKernel<Real, output>;
    // Every thread reads all the group indices, and keeps its own batch of harmonics.
    const std::size_t setup = N + 15 * (std::size_t{lmax} + 1) * Lanes<Real>::count + 8 * tables.valueWidth();
    const std::size_t blocks = blockCount(threads, nGroups, N * K * tables.count(), setup);
    forEachBlock(
        nGroups, 1, blocks, [&tables, K] { return Kernel(tables, K); },
        [=](Kernel& kernel, std::size_t first, std::size_t last) {
            kernel.sumGroups(sums, xyz, groups, weights, N, first, last);
        });
}

}  // namespace detail

/**
 * Sums the harmonics of evaluate_SPH_xyz of N vectors by group, times
 * weights, without holding the harmonics of more than a batch of vectors:
 *
 *     sums[g][k] = sum over the vectors e of group g of weights[K e + k] Y(xyz[e]),
 *
 * for g < nGroups and k < K; each sum is a series of sphCount values in the
 * order of evaluate_SPH_xyz, and the output is (nGroups, K, sphCount). A group
 * without vectors sums to zero. Each sum is accumulated in the order of the
 * vectors, so its bits do not depend on `threads`: the groups are split into
 * ranges, one per thread. A vector without a direction adds what
 * evaluate_SPH_xyz gives it.
 *
 * @param sums nGroups * K * sphCount writable values
 * @param lmax, xyz, N, negative_m, convention as for evaluate_SPH_xyz
 * @param groups N group indices, in any order, each in [0, nGroups)
 * @param weights N * K weights, or null for weights of 1 (K = 1: the plain sums)
 * @param threads the most threads to use, the calling one included; 0 counts as 1
 * @throws std::invalid_argument if a group index is out of range,
 *         std::length_error if lmax is too large, std::bad_alloc if the tables
 *         cannot be allocated; nothing is written then
 */
template <typename Real>
void sum_SPH_xyz(std::complex<Real>* sums, unsigned int lmax, const Real* xyz, std::size_t N,
                 const std::int64_t* groups, std::size_t nGroups, const Real* weights, std::size_t K,
                 bool negative_m, Convention convention = {}, unsigned int threads = 1) {
    detail::sumXyz<Real, Output::complex>(detail::realParts(sums), lmax, xyz, N, groups, nGroups, weights, K,
                                          negative_m, convention, threads);
}

/** sum_SPH_xyz of the real harmonics of evaluate_SPH_xyz: (lmax + 1)^2 values per sum. */
template <typename Real>
void sum_SPH_xyz(Real* sums, unsigned int lmax, const Real* xyz, std::size_t N, const std::int64_t* groups,
                 std::size_t nGroups, const Real* weights, std::size_t K, Convention convention = {},
                 unsigned int threads = 1) {
    detail::sumXyz<Real, Output::real>(sums, lmax, xyz, N, groups, nGroups, weights, K, true, convention,
                                       threads);
}

}  // namespace kelo
