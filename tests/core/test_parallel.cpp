// Splitting the points across threads decides who writes a value, never its bits.

#include <algorithm>
#include <limits>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class Parallel : public ::testing::Test {};
TYPED_TEST_SUITE(Parallel, Precisions);

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

// Past kStreamingBytes of output, each group's rows are staged and streamed:
// the same bits as small calls write, wherever the output starts within a
// cache line, and nothing outside it. Where the rows of doubles are 16-byte
// aligned, most of each degree is streamed from the stage itself: at lmax 21
// in long runs.
template <typename Real>
void expectStreamedRowsWriteTheSameBits(unsigned lmax) {
    SCOPED_TRACE(::testing::Message() << "lmax " << lmax);
    const std::size_t count = seriesLength(lmax, true);
    const std::size_t n = detail::kStreamingBytes / (count * sizeof(Real)) + 7;
    auto [phi, theta] = anglesOf<Real>(n);
    phi[5] = std::numeric_limits<Real>::quiet_NaN();
    theta[n - 2] = std::numeric_limits<Real>::infinity();
    phi[n - 1] = Real(0);
    // write(first, second, first point, last point, threads) fills one or two outputs of the widths given.
    const auto check = [&, &phi = phi](std::size_t firstWidth, std::size_t secondWidth, auto write) {
        std::vector<Real> expected(n * (firstWidth + secondWidth));
        Real* const expectedSecond = expected.data() + n * firstWidth;
        for (std::size_t point = 0; point < n; point += 64) {
            write(expected.data() + point * firstWidth, expectedSecond + point * secondWidth, point,
                  std::min(n, point + 64), 1u);
        }
        for (const std::size_t shift : {0, 1, 3}) {
            for (const unsigned threads : {1u, 2u}) {
                SCOPED_TRACE(::testing::Message() << "shift " << shift << ", threads " << threads);
                const Real sentinel = Real(-7);
                std::vector<Real> buffer(expected.size() + 8, sentinel);
                write(buffer.data() + shift, buffer.data() + shift + n * firstWidth + 4, 0, n, threads);
                std::vector<Real> written(buffer.begin() + shift, buffer.begin() + shift + n * firstWidth);
                written.insert(written.end(), buffer.begin() + shift + n * firstWidth + 4, buffer.end() - 4 + shift);
                EXPECT_TRUE(sameArrays(written, expected));
                EXPECT_EQ(std::count(buffer.begin(), buffer.end(), sentinel), 8);
            }
        }
    };
    const auto complexAt = [](Real* reals) { return reinterpret_cast<std::complex<Real>*>(reals); };
    check(2 * count, 0, [&](Real* values, Real*, std::size_t first, std::size_t last, unsigned threads) {
        evaluate_SPH_parallel<Real>(complexAt(values), lmax, &phi[first], &theta[first], last - first, true,
                                    threads);
    });
    check(count, 0, [&](Real* values, Real*, std::size_t first, std::size_t last, unsigned threads) {
        evaluate_SPH_parallel<Real>(values, lmax, &phi[first], &theta[first], last - first, Convention{}, threads);
    });
    check(4 * count, 2 * count,
          [&](Real* gradients, Real* harmonics, std::size_t first, std::size_t last, unsigned threads) {
              evaluate_SPH_with_grads_parallel<Real>(complexAt(gradients), complexAt(harmonics), lmax, &phi[first],
                                                     &theta[first], last - first, true, threads);
          });
}

TYPED_TEST(Parallel, StreamedRowsWriteTheSameBits) {
    for (const unsigned lmax : {6u, 21u}) {
        expectStreamedRowsWriteTheSameBits<TypeParam>(lmax);
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
