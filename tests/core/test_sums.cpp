// Sums of harmonics by group: bit for bit the sums of evaluate_SPH_xyz's
// harmonics taken in the vectors' order, on any number of threads.

#include <complex>
#include <stdexcept>
#include <vector>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class Sums : public ::testing::Test {};
TYPED_TEST_SUITE(Sums, Precisions);

/** The vectors' sums by group, added one vector after another from their harmonics. */
template <typename Entry, typename Real>
std::vector<Entry> sumsOneByOne(const std::vector<Entry>& harmonics, std::size_t count,
                                const std::vector<std::int64_t>& groups, std::size_t nGroups,
                                const Real* weights, std::size_t K) {
    std::vector<Entry> sums(nGroups * K * count);
    for (std::size_t e = 0; e < groups.size(); ++e) {
        for (std::size_t k = 0; k < K; ++k) {
            Entry* sum = sums.data() + (groups[e] * K + k) * count;
            for (std::size_t c = 0; c < count; ++c) {
                sum[c] += weights == nullptr ? harmonics[e * count + c] : weights[e * K + k] * harmonics[e * count + c];
            }
        }
    }
    return sums;
}

TYPED_TEST(Sums, AreTheHarmonicsAddedInTheVectorsOrderOnAnyThreads) {
    using Real = TypeParam;
    auto xyz = randomVectors<Real>(301, 7);
    xyz[9] = xyz[10] = xyz[11] = 0;  // the zero vector adds Y_0^0
    const std::size_t n = xyz.size() / 3;
    const std::size_t nGroups = 41;
    std::mt19937_64 generator(3);
    std::vector<std::int64_t> groups(n);
    for (auto& group : groups) {
        group = static_cast<std::int64_t>(generator() % (nGroups - 1));  // the last group stays empty
    }
    std::vector<Real> weights(3 * n);
    for (auto& weight : weights) {
        weight = static_cast<Real>(std::ldexp(static_cast<double>(generator() % 2001) - 1000.0, -7));
    }
    const Convention convention{Normalization::schmidt, true};
    for (const unsigned lmax : {0u, 3u, 11u}) {
        for (const std::size_t K : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
            const Real* w = K == 0 ? nullptr : weights.data();
            const std::size_t sums = K == 0 ? 1 : K;  // K = 0 stands for null weights, summed once
            for (const bool negative_m : {true, false}) {
                const std::size_t count = seriesLength(lmax, negative_m);
                std::vector<std::complex<Real>> harmonics(n * count);
                evaluate_SPH_xyz<Real>(harmonics.data(), lmax, xyz.data(), n, negative_m, convention);
                const auto expected = sumsOneByOne(harmonics, count, groups, nGroups, w, sums);
                for (const unsigned threads : {1u, 2u, 3u, 8u}) {
                    std::vector<std::complex<Real>> actual(expected.size(), {7, 7});
                    sum_SPH_xyz<Real>(actual.data(), lmax, xyz.data(), n, groups.data(), nGroups, w, sums,
                                      negative_m, convention, threads);
                    EXPECT_TRUE(sameArrays(actual, expected))
                        << "lmax " << lmax << ", K " << K << ", negative_m " << negative_m << ", threads " << threads;
                }
            }
            const std::size_t count = seriesLength(lmax, true);
            std::vector<Real> harmonics(n * count);
            evaluate_SPH_xyz<Real>(harmonics.data(), lmax, xyz.data(), n, convention);
            const auto expected = sumsOneByOne(harmonics, count, groups, nGroups, w, sums);
            for (const unsigned threads : {1u, 3u}) {
                std::vector<Real> actual(expected.size(), 7);
                sum_SPH_xyz<Real>(actual.data(), lmax, xyz.data(), n, groups.data(), nGroups, w, sums, convention,
                                  threads);
                EXPECT_TRUE(sameArrays(actual, expected)) << "real, lmax " << lmax << ", K " << K;
            }
        }
    }
}

TEST(Sums, AGroupIndexOutOfRangeThrowsBeforeWriting) {
    const double xyz[6] = {1, 2, 3, 0, 0, 1};
    double sums[2 * 4] = {5, 5, 5, 5, 5, 5, 5, 5};
    for (const std::int64_t bad : {std::int64_t{-1}, std::int64_t{2}}) {
        const std::int64_t groups[2] = {0, bad};
        EXPECT_THROW(sum_SPH_xyz<double>(sums, 1, xyz, 2, groups, 2, nullptr, 1, {}, 2), std::invalid_argument);
    }
    EXPECT_THROW(sum_SPH_xyz<double>(sums, 46341, xyz, 0, nullptr, 2, nullptr, 1), std::length_error);
    EXPECT_TRUE(std::all_of(std::begin(sums), std::end(sums), [](double s) { return s == 5; }));
}

}  // namespace
}  // namespace kelo::testing
