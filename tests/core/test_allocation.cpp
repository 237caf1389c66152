// Allocation accounting: this binary replaces the global operator new to count
// live allocations and to fail the n-th one on request.

#include <cstdlib>
#include <new>

#include "support.hpp"

namespace {

long liveAllocations = 0;
long allocationsMade = 0;
long failAtAllocation = 0;  // 0: never fail

void* allocate(std::size_t size) {
    if (failAtAllocation != 0 && allocationsMade + 1 == failAtAllocation) {
        failAtAllocation = 0;
        throw std::bad_alloc();
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    ++allocationsMade;
    ++liveAllocations;
    return memory;
}

void release(void* memory) noexcept {
    if (memory != nullptr) {
        --liveAllocations;
        std::free(memory);
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }

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
    const long live = liveAllocations;
    const auto allocationsFor = [&](unsigned n, bool withGradients) {
        const long made = allocationsMade;
        if (withGradients) {
            evaluate_SPH_with_grads<Real>(gradients.data(), output.data(), 8, phi.data(), theta.data(), n, true);
        } else {
            evaluate_SPH<Real>(output.data(), 8, phi.data(), theta.data(), n, true);
        }
        return allocationsMade - made;
    };
    for (const bool withGradients : {false, true}) {
        EXPECT_GE(allocationsFor(1, withGradients), kEvaluatorAllocations);
        EXPECT_EQ(allocationsFor(200, withGradients), allocationsFor(1, withGradients));
    }
    EXPECT_EQ(liveAllocations, live);
}

TYPED_TEST(Allocation, FailedBatchWritesNothingAndLeaksNothing) {
    using Real = TypeParam;
    const std::complex<Real> sentinel(Real(2), Real(-2));
    std::vector<std::complex<Real>> output(4, sentinel);
    const Real angle = Real(0.5);
    const long before = liveAllocations;
    failAtAllocation = allocationsMade + 7;
    EXPECT_THROW(evaluate_SPH<Real>(output.data(), 1, &angle, &angle, 1, true), std::bad_alloc);
    failAtAllocation = 0;
    EXPECT_EQ(liveAllocations, before);
    EXPECT_TRUE(sameBits(output[0], sentinel));
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
