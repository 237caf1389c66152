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

TYPED_TEST(Parallel, AnyThreadCountWritesTheSerialBits) {
    using Real = TypeParam;
    const unsigned lmax = 12;
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{3001}}) {
        std::vector<Real> phi;
        std::vector<Real> theta;
        for (const auto& [p, t] : randomPoints<Real>(n, 3)) {
            phi.push_back(p);
            theta.push_back(t);
        }
        const std::size_t count = seriesLength(lmax, true);
        std::vector<std::complex<Real>> values(n * count);
        std::vector<std::complex<Real>> gradients(2 * n * count);
        std::vector<std::complex<Real>> gradientValues(n * count);
        evaluate_SPH<Real>(values.data(), lmax, phi.data(), theta.data(), static_cast<unsigned>(n), true);
        evaluate_SPH_with_grads<Real>(gradients.data(), gradientValues.data(), lmax, phi.data(), theta.data(),
                                      static_cast<unsigned>(n), true);
        for (const unsigned threads : {0u, 1u, 2u, 3u, 8u}) {
            SCOPED_TRACE(::testing::Message() << n << " points, " << threads << " threads");
            std::vector<std::complex<Real>> parallelValues(values.size());
            evaluate_SPH_parallel<Real>(parallelValues.data(), lmax, phi.data(), theta.data(), n, true, threads);
            EXPECT_TRUE(sameArrays(parallelValues, values));

            std::vector<std::complex<Real>> parallelGradients(gradients.size());
            std::vector<std::complex<Real>> parallelGradientValues(values.size());
            evaluate_SPH_with_grads_parallel<Real>(parallelGradients.data(), parallelGradientValues.data(), lmax,
                                                   phi.data(), theta.data(), n, true, threads);
            EXPECT_TRUE(sameArrays(parallelGradients, gradients));
            EXPECT_TRUE(sameArrays(parallelGradientValues, values));
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
