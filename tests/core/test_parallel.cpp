// Splitting the points across threads decides who writes a value, never its bits.

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

/** Random points, some at the poles, which take the recovered path. */
template <typename Real>
std::pair<std::vector<Real>, std::vector<Real>> anglesOf(std::size_t n) {
    std::pair<std::vector<Real>, std::vector<Real>> angles;
    for (const auto& [p, t] : randomPoints<Real>(n, 3)) {
        angles.first.push_back(n / 2 == angles.first.size() ? Real(0) : p);
        angles.second.push_back(t);
    }
    return angles;
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
                    detail::writeGradients(kernel, detail::realParts(splitGradients.data()),
                                           detail::realParts(splitValues.data()), phi.data(),
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

TEST(Parallel, TooLargeADegreeThrowsBeforeWriting) {
    const float angle = 1.0f;
    std::complex<float> sentinel(3.0f, -1.0f);
    std::complex<float> output = sentinel;
    EXPECT_THROW(evaluate_SPH_parallel<float>(&output, 46341, &angle, &angle, 1, true, 2), std::length_error);
    EXPECT_TRUE(sameBits(output, sentinel));
}

}  // namespace
}  // namespace kelo::testing
