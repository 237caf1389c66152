// Allocation accounting: this binary replaces the global operator new, aligned
// forms included, to count live allocations and bytes, to fail the n-th
// allocation on request, and to count allocations made off the main thread and
// blocks not made of whole cache lines.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "support.hpp"

namespace {

// Workers release what their thread was started with, so the live counts are atomic.
std::atomic<long> liveAllocations{0};
long allocationsMade = 0;
long failAtAllocation = 0;  // 0: never fail
std::atomic<std::size_t> liveBytes{0};
std::size_t peakBytes = 0;
const std::thread::id mainThread = std::this_thread::get_id();
std::atomic<long> allocationsOffMainThread{0};
long partialLineAllocations = 0;  // blocks that may share a cache line with another

// Each block starts with its size, in a header that keeps the block's alignment.
std::size_t headerSize(std::size_t alignment) { return std::max(alignof(std::max_align_t), alignment); }

void* allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) {
    if (std::this_thread::get_id() != mainThread) {
        ++allocationsOffMainThread;
    }
    if (failAtAllocation != 0 && allocationsMade + 1 == failAtAllocation) {
        failAtAllocation = 0;
        throw std::bad_alloc();
    }
    if (alignment < kelo::detail::kInterferenceSize || size % kelo::detail::kInterferenceSize != 0) {
        ++partialLineAllocations;
    }
    const std::size_t header = headerSize(alignment);
    const std::size_t alignedSize = (header + size + alignment - 1) / alignment * alignment;  // as aligned_alloc asks
    char* memory = static_cast<char*>(std::aligned_alloc(alignment, alignedSize));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    *reinterpret_cast<std::size_t*>(memory) = size;
    ++allocationsMade;
    ++liveAllocations;
    liveBytes += size;
    peakBytes = std::max(peakBytes, liveBytes.load());
    return memory + header;
}

void release(void* memory, std::size_t alignment = alignof(std::max_align_t)) noexcept {
    if (memory != nullptr) {
        char* block = static_cast<char*>(memory) - headerSize(alignment);
        --liveAllocations;
        liveBytes -= *reinterpret_cast<std::size_t*>(block);
        std::free(block);
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }
// The aligned forms, which the kernels' workspaces use.
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate(size, std::size_t(alignment)); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate(size, std::size_t(alignment)); }
void operator delete(void* memory, std::align_val_t alignment) noexcept { release(memory, std::size_t(alignment)); }
void operator delete[](void* memory, std::align_val_t alignment) noexcept { release(memory, std::size_t(alignment)); }
void operator delete(void* memory, std::size_t, std::align_val_t alignment) noexcept {
    release(memory, std::size_t(alignment));
}
void operator delete[](void* memory, std::size_t, std::align_val_t alignment) noexcept {
    release(memory, std::size_t(alignment));
}

namespace kelo::testing {
namespace {

template <typename Real>
class Allocation : public ::testing::Test {};
TYPED_TEST_SUITE(Allocation, Precisions);

// Five tables, each an element array and a shared block.
constexpr long kEvaluatorAllocations = 10;

TYPED_TEST(Allocation, EvaluatorOwnsExactlyTenBlocksAndReleasesThem) {
    const long before = liveAllocations;
    {
        const PointSPHEvaluator<TypeParam> evaluator(6);
        EXPECT_EQ(liveAllocations - before, kEvaluatorAllocations);
    }
    EXPECT_EQ(liveAllocations, before);
}

TYPED_TEST(Allocation, FailureInAnyTableReleasesTheTablesBuiltBefore) {
    using Real = TypeParam;
    for (long failing = 1; failing <= kEvaluatorAllocations; ++failing) {
        SCOPED_TRACE(failing);
        const long before = liveAllocations;
        failAtAllocation = allocationsMade + failing;
        EXPECT_THROW(PointSPHEvaluator<Real>(4), std::bad_alloc);
        failAtAllocation = 0;
        EXPECT_EQ(liveAllocations, before);
    }
}

TYPED_TEST(Allocation, BatchAllocatesItsTablesOnceWhateverTheNumberOfPoints) {
    using Real = TypeParam;
    const auto points = randomPoints<Real>(200, 7);
    std::vector<Real> phi(points.size());
    std::vector<Real> theta(points.size());
    std::vector<std::complex<Real>> output(points.size() * seriesLength(8, true));
    std::vector<std::complex<Real>> gradients(2 * output.size());
    const auto allocationsFor = [&](unsigned n, bool withGradients) {
        const long made = allocationsMade;
        if (withGradients) {
            evaluate_SPH_with_grads<Real>(gradients.data(), output.data(), 8, phi.data(), theta.data(), n, true);
        } else {
            evaluate_SPH<Real>(output.data(), 8, phi.data(), theta.data(), n, true);
        }
        return allocationsMade - made;
    };
    // The first calls build the coefficients, which later calls share.
    for (const bool withGradients : {false, true}) {
        allocationsFor(1, withGradients);
    }
    const long live = liveAllocations;
    for (const bool withGradients : {false, true}) {
        EXPECT_EQ(allocationsFor(200, withGradients), allocationsFor(1, withGradients));
    }
    EXPECT_EQ(liveAllocations, live);
}

/** Points enough that a call on up to 3 threads takes 3 of them. */
constexpr unsigned kThreeBlockPoints = 160;

// A table that cannot be allocated fails the call before anything is written
// and leaks nothing; a thread that cannot start leaves its block to the caller.
TYPED_TEST(Allocation, AnyFailedAllocationOfAParallelCallThrowsBeforeWritingOrIsAbsorbed) {
    using Real = TypeParam;
    const unsigned lmax = 100;
    const std::vector<Real> phi(kThreeBlockPoints, Real(0.5));
    const std::vector<Real> theta(kThreeBlockPoints, Real(2));
    std::vector<std::complex<Real>> expected(kThreeBlockPoints * seriesLength(lmax, false));
    evaluate_SPH<Real>(expected.data(), lmax, phi.data(), theta.data(), kThreeBlockPoints, false);
    const std::complex<Real> sentinel(Real(2), Real(-2));
    std::vector<std::complex<Real>> output(expected.size());
    long absorbed = 0;
    for (long failing = 1;; ++failing) {
        SCOPED_TRACE(failing);
        std::fill(output.begin(), output.end(), sentinel);
        const long live = liveAllocations;
        failAtAllocation = allocationsMade + failing;
        try {
            evaluate_SPH_parallel<Real>(output.data(), lmax, phi.data(), theta.data(), kThreeBlockPoints, false, 3);
        } catch (const std::bad_alloc&) {
            EXPECT_TRUE(std::all_of(output.begin(), output.end(), [&](auto v) { return sameBits(v, sentinel); }));
            EXPECT_EQ(liveAllocations, live);
            continue;
        }
        EXPECT_EQ(std::memcmp(output.data(), expected.data(), output.size() * sizeof(output[0])), 0);
        if (failAtAllocation != 0) {
            failAtAllocation = 0;
            break;  // no allocation was left to fail
        }
        ++absorbed;
    }
    EXPECT_EQ(absorbed, 2);  // the starts of the two threads
    EXPECT_EQ(allocationsOffMainThread, 0);
}

// The threads share the O(lmax^2) tables: each adds tables of one entry per order.
TYPED_TEST(Allocation, EachThreadAddsMemoryLinearInTheDegree) {
    using Real = TypeParam;
    const auto bytesPerThread = [](unsigned lmax) {
        const detail::SeriesCoefficients<Real> coefficients(lmax, true);
        std::size_t peaks[2];
        for (const std::size_t blocks : {1, 3}) {
            const std::size_t live = liveBytes;
            peakBytes = live;
            detail::forEachBlock(
                3 * detail::SeriesKernel<Real>::kLanes, detail::SeriesKernel<Real>::kLanes, blocks,
                [&] { return detail::SeriesKernel<Real>(coefficients, true); },
                [](auto&, std::size_t, std::size_t) {});
            peaks[blocks / 2] = peakBytes - live;
        }
        return static_cast<double>(peaks[1] - peaks[0]) / 2;
    };
    // Four times the degree: four times the memory, not sixteen.
    EXPECT_LT(bytesPerThread(400), 4.5 * bytesPerThread(100));
}

// Each thread writes the workspace of its own kernel, which no other block may share a line with.
TYPED_TEST(Allocation, KernelsAllocateWholeCacheLinesOnly) {
    using Real = TypeParam;
    const detail::SeriesCoefficients<Real> coefficients(8, true);
    const detail::XyzTables<Real> tables(8, true, Convention{}, Output::complex, true);
    const long made = allocationsMade;
    const long partial = partialLineAllocations;
    {
        const detail::SeriesKernel<Real> series(coefficients, true);
        const detail::XyzKernel<Real, Output::complex> xyz(tables, true);
        const detail::XyzSumKernel<Real, Output::complex> sums(tables, 2);
    }
    EXPECT_GT(allocationsMade, made);
    EXPECT_EQ(partialLineAllocations, partial);
}

TEST(Allocation, TooLargeADegreeAllocatesNoTable) {
    const long made = allocationsMade;
    const long live = liveAllocations;
    EXPECT_THROW(PointSPHEvaluator<float>(46341), std::length_error);
    EXPECT_EQ(liveAllocations, live);
    // Only the exception's message may have been allocated.
    EXPECT_LE(allocationsMade - made, 4);
}

TEST(SharedArrayHandles, CopiesShareOneArrayThatTheLastReleases) {
    const long before = liveAllocations;
    {
        SharedArray<double> first(3);
        first[1] = 2.5;
        const long afterCreation = liveAllocations;
        EXPECT_EQ(afterCreation - before, 2);
        {
            const SharedArray<double> second(first);
            EXPECT_EQ(liveAllocations, afterCreation);
            EXPECT_EQ(second.data(), first.data());
            EXPECT_EQ(second[1], 2.5);
        }
        EXPECT_EQ(liveAllocations, afterCreation);
        EXPECT_EQ(first[1], 2.5);
    }
    EXPECT_EQ(liveAllocations, before);
}

TEST(SharedArrayHandles, ComplexElementsStartAtZero) {
    const SharedArray<std::complex<float>> values(16);
    EXPECT_EQ(values.size(), 16u);
    for (std::uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(values[i], std::complex<float>(0, 0));
    }
}

TEST(SharedArrayHandles, FailedBlockAllocationReleasesTheElements) {
    const long before = liveAllocations;
    failAtAllocation = allocationsMade + 2;
    EXPECT_THROW(SharedArray<double>(8), std::bad_alloc);
    failAtAllocation = 0;
    EXPECT_EQ(liveAllocations, before);
}

}  // namespace
}  // namespace kelo::testing
