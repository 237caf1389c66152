// Splitting the points across threads decides who writes a value, never its bits.

#include <algorithm>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class Parallel : public ::testing::Test {};
TYPED_TEST_SUITE(Parallel, Precisions);

template <typename Real>
bool sameArrays(const std::vector<std::complex<Real>>& a, const std::vector<std::complex<Real>>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

/** Random points with the poles and an overflowing cotangent, which take the recovered path. */
template <typename Real>
std::pair<std::vector<Real>, std::vector<Real>> anglesOf(std::size_t n) {
    std::vector<Real> phi;
    std::vector<Real> theta;
    for (const auto& [p, t] : randomPoints<Real>(n, 3)) {
        phi.push_back(p);
        theta.push_back(t);
    }
    const Real special[] = {Real(0), static_cast<Real>(kPi), Real(1e-30)};
    std::copy_n(special, std::min<std::size_t>(n, 3), phi.begin() + static_cast<std::ptrdiff_t>(n / 2));
    return {phi, theta};
}

// The public functions pick their own split; a forced split reaches the
// awkward ones that the work of a test would not.
TYPED_TEST(Parallel, AnySplitWritesTheSerialBits) {
    using Real = TypeParam;
    using Kernel = detail::SeriesKernel<Real>;
    const unsigned lmax = 12;
    const std::size_t count = seriesLength(lmax, true);
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{5}, 4 * Kernel::kLanes + 1}) {
        const auto [phi, theta] = anglesOf<Real>(n);
        std::vector<std::complex<Real>> values(n * count);
        std::vector<std::complex<Real>> gradients(2 * n * count);
        evaluate_SPH<Real>(values.data(), lmax, phi.data(), theta.data(), static_cast<unsigned>(n), true);
        evaluate_SPH_with_grads<Real>(gradients.data(), nullptr, lmax, phi.data(), theta.data(),
                                      static_cast<unsigned>(n), true);
        const detail::SeriesCoefficients<Real> coefficients(lmax, true);
        for (const std::size_t blocks : {1, 2, 3, 7}) {
            SCOPED_TRACE(::testing::Message() << n << " points, " << blocks << " blocks");
            std::vector<std::complex<Real>> splitValues(values.size());
            std::vector<std::complex<Real>> splitGradients(gradients.size());
            detail::forEachBlock(
                n, Kernel::kLanes, blocks, [&] { return Kernel(coefficients, true); },
                [&](Kernel& kernel, std::size_t first, std::size_t last) {
                    detail::writeGradients(kernel, splitGradients.data(), splitValues.data(), phi.data(),
                                           theta.data(), first, last);
                });
            EXPECT_TRUE(sameArrays(splitValues, values));
            EXPECT_TRUE(sameArrays(splitGradients, gradients));
        }
        for (const unsigned threads : {0u, 3u}) {
            std::vector<std::complex<Real>> parallelValues(values.size());
            evaluate_SPH_parallel<Real>(parallelValues.data(), lmax, phi.data(), theta.data(), n, true, threads);
            EXPECT_TRUE(sameArrays(parallelValues, values));
        }
    }
}

TEST(Parallel, BlocksCoverEveryPointOnceInWholeGroups) {
    for (const std::size_t n : {0, 1, 7, 8, 9, 100}) {
        for (const std::size_t groupSize : {1, 8}) {
            for (const std::size_t blocks : {1, 2, 3, 64}) {
                SCOPED_TRACE(::testing::Message() << n << " points, groups of " << groupSize << ", " << blocks);
                std::vector<std::pair<std::size_t, std::size_t>> ranges(blocks);
                std::size_t made = 0;
                detail::forEachBlock(
                    n, groupSize, blocks, [&made] { return made++; },
                    [&ranges](std::size_t state, std::size_t first, std::size_t last) { ranges[state] = {first, last}; });
                ranges.resize(made);
                EXPECT_EQ(made, std::max<std::size_t>(1, std::min(blocks, (n + groupSize - 1) / groupSize)));
                std::size_t next = 0;
                for (const auto& [first, last] : ranges) {
                    EXPECT_EQ(first, next);
                    EXPECT_EQ(first % groupSize, 0u);
                    EXPECT_TRUE(last > first || n == 0);
                    next = last;
                }
                EXPECT_EQ(next, n);
            }
        }
    }
}

// In the model of blockCount, a call is never slower on many threads than on
// one by more than a tenth of its work, however few the cores.
TEST(Parallel, ThreadsCostAtMostATenthOfTheWork) {
    for (const std::size_t setup : {std::size_t{0}, std::size_t{1} << 20}) {
        for (const std::size_t work : {std::size_t{1} << 10, std::size_t{1} << 22, std::size_t{1} << 34}) {
            const std::size_t blocks = detail::blockCount(1024, 1 << 20, work, setup);
            EXPECT_GE(blocks, 1u);
            EXPECT_TRUE(blocks == 1 || 10 * blocks * (setup + detail::kThreadStartWork) <= work) << blocks;
        }
    }
    EXPECT_EQ(detail::blockCount(16, 1000, std::size_t{1} << 34, 0), 16u);
    EXPECT_EQ(detail::blockCount(16, 3, std::size_t{1} << 34, 0), 3u);
}

TEST(Parallel, TooLargeADegreeThrowsBeforeWriting) {
    const float angle = 1.0f;
    std::complex<float> sentinel(3.0f, -1.0f);
    std::complex<float> output = sentinel;
    EXPECT_THROW(evaluate_SPH_parallel<float>(&output, 46341, &angle, &angle, 1, true, 2), std::length_error);
    EXPECT_TRUE(sameBits(output, sentinel));
}

}  // namespace
}  // namespace kelo::testing
