// Gradients: closed values, finite differences (also across the poles), the
// theta derivative, output layout and null outputs.

#include <limits>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class Gradients : public ::testing::Test {};
TYPED_TEST_SUITE(Gradients, Precisions);

template <typename Real>
struct PointGradients {
    std::vector<std::complex<Real>> values;
    std::vector<std::complex<Real>> dphi;
    std::vector<std::complex<Real>> dtheta;
};

template <typename Real>
PointGradients<Real> gradients(unsigned lmax, Real phi, Real theta, bool negative_m = true) {
    const std::size_t count = seriesLength(lmax, negative_m);
    std::vector<std::complex<Real>> pairs(2 * count);
    PointGradients<Real> result;
    result.values.resize(count);
    evaluate_SPH_with_grads<Real>(pairs.data(), result.values.data(), lmax, &phi, &theta, 1,
                                  negative_m);
    for (std::size_t k = 0; k < count; ++k) {
        result.dphi.push_back(pairs[2 * k]);
        result.dtheta.push_back(pairs[2 * k + 1]);
    }
    return result;
}

/** Central difference in double, whose error is far below float rounding. */
std::complex<double> centralDifference(unsigned lmax, std::size_t index, double phi, double theta,
                                       bool alongPhi) {
    const double h = 1e-5;
    const auto plus = alongPhi ? series<double>(lmax, phi + h, theta) : series<double>(lmax, phi, theta + h);
    const auto minus = alongPhi ? series<double>(lmax, phi - h, theta) : series<double>(lmax, phi, theta - h);
    return (plus[index] - minus[index]) / (2 * h);
}

TYPED_TEST(Gradients, DegreeZeroIsFlatEverywhere) {
    using Real = TypeParam;
    for (Real phi : {Real(0), Real(1), static_cast<Real>(kPi)}) {
        const auto g = gradients<Real>(0, phi, Real(2));
        EXPECT_NEAR(g.values[0].real(), 0.5 / std::sqrt(kPi), tolerance<Real>());
        EXPECT_EQ(g.dphi[0], std::complex<Real>(0));
        EXPECT_EQ(g.dtheta[0], std::complex<Real>(0));
    }
}

TYPED_TEST(Gradients, EquatorHasClosedValues) {
    using Real = TypeParam;
    const auto g = gradients<Real>(1, static_cast<Real>(kPi / 2), Real(0));
    const double r = std::sqrt(3 / (8 * kPi));
    EXPECT_NEAR(g.dphi[indexOf(1, 0)].real(), -std::sqrt(3 / (4 * kPi)), tolerance<Real>());
    EXPECT_NEAR(std::abs(g.dphi[indexOf(1, 1)]), 0, tolerance<Real>());
    EXPECT_NEAR(std::abs(g.dphi[indexOf(1, -1)]), 0, tolerance<Real>());
    EXPECT_NEAR(g.dtheta[indexOf(1, 1)].imag(), r, tolerance<Real>());
    EXPECT_NEAR(g.dtheta[indexOf(1, -1)].imag(), -r, tolerance<Real>());
}

// At the pole Y_1^(+-1) = sqrt(3/(8 pi)) sin(phi) exp(+-i theta) has the
// derivative sqrt(3/(8 pi)) exp(+-i theta): the m cot(phi) term has a finite limit.
TYPED_TEST(Gradients, NorthPoleTakesTheLimitOfTheCotangentTerm) {
    using Real = TypeParam;
    const double r = std::sqrt(3 / (8 * kPi));
    for (double theta : {0.0, 0.5, -2.0}) {
        const auto g = gradients<Real>(1, Real(0), static_cast<Real>(theta));
        const std::complex<double> up = std::complex<double>(g.dphi[indexOf(1, 1)]);
        const std::complex<double> down = std::complex<double>(g.dphi[indexOf(1, -1)]);
        EXPECT_EQ(g.dphi[indexOf(1, 0)], std::complex<Real>(0));
        EXPECT_NEAR(std::abs(up - r * std::polar(1.0, theta)), 0, tolerance<Real>()) << theta;
        EXPECT_NEAR(std::abs(down - r * std::polar(1.0, -theta)), 0, tolerance<Real>()) << theta;
    }
}

// Evaluating at -phi continues each harmonic smoothly through the pole (odd
// orders change sign with sin(phi)), so central differences straddle it.
TYPED_TEST(Gradients, PolesAgreeWithDifferencesAcrossThem) {
    using Real = TypeParam;
    const int lmax = 6;
    for (double pole : {0.0, kPi}) {
        for (double theta : {0.0, 1.3}) {
            const auto g = gradients<Real>(lmax, static_cast<Real>(pole), static_cast<Real>(theta));
            for (int l = 0; l <= lmax; ++l) {
                for (int m = -l; m <= l; ++m) {
                    const auto expected = centralDifference(lmax, indexOf(l, m), pole, theta, true);
                    EXPECT_NEAR(std::abs(std::complex<double>(g.dphi[indexOf(l, m)]) - expected), 0,
                                4e-8 + 40 * tolerance<Real>())
                        << "pole=" << pole << " theta=" << theta << " l=" << l << " m=" << m;
                }
            }
        }
    }
}

TYPED_TEST(Gradients, InteriorPointsAgreeWithCentralDifferences) {
    using Real = TypeParam;
    const int lmax = 10;
    for (const auto& [phi, theta] : randomPoints<Real>(12, 8)) {
        const auto g = gradients<Real>(lmax, phi, theta);
        for (int l = 0; l <= lmax; ++l) {
            for (int m = -l; m <= l; ++m) {
                const std::size_t k = indexOf(l, m);
                for (bool alongPhi : {true, false}) {
                    const auto expected = centralDifference(lmax, k, phi, theta, alongPhi);
                    const auto actual = std::complex<double>(alongPhi ? g.dphi[k] : g.dtheta[k]);
                    ASSERT_NEAR(std::abs(actual - expected), 0, 4e-8 + 40 * tolerance<Real>())
                        << "phi=" << phi << " l=" << l << " m=" << m << " dphi=" << alongPhi;
                }
            }
        }
    }
}

// Where sin(phi) is so small that m cos(phi) / sin(phi) overflows, the limit
// keeps the gradient continuous with its value at the pole.
TYPED_TEST(Gradients, OverflowingCotangentStaysContinuous) {
    using Real = TypeParam;
    const Real tiny = std::numeric_limits<Real>::denorm_min();
    ASSERT_FALSE(std::isfinite(Real(1) / tiny));
    const auto atPole = gradients<Real>(4, Real(0), Real(0.7));
    const auto nearPole = gradients<Real>(4, tiny, Real(0.7));
    for (std::size_t k = 0; k < atPole.dphi.size(); ++k) {
        EXPECT_NEAR(std::abs(std::complex<double>(nearPole.dphi[k] - atPole.dphi[k])), 0,
                    tolerance<Real>())
            << k;
    }
}

TYPED_TEST(Gradients, ThetaDerivativeIsExactlyIMTimesTheValue) {
    using Real = TypeParam;
    const int lmax = 7;
    for (const auto& [phi, theta] : randomPoints<Real>(5, 9)) {
        const auto g = gradients<Real>(lmax, phi, theta);
        for (int l = 0; l <= lmax; ++l) {
            for (int m = -l; m <= l; ++m) {
                const std::size_t k = indexOf(l, m);
                const auto expected = multiply(std::complex<Real>(0, static_cast<Real>(m)), g.values[k]);
                ASSERT_TRUE(sameBits(g.dtheta[k], expected)) << l << ' ' << m;
            }
        }
    }
}

TYPED_TEST(Gradients, NegativeOrdersAreConjugates) {
    using Real = TypeParam;
    const int lmax = 9;
    for (const auto& [phi, theta] : randomPoints<Real>(5, 10)) {
        const auto g = gradients<Real>(lmax, phi, theta);
        for (int l = 1; l <= lmax; ++l) {
            for (int m = 1; m <= l; ++m) {
                const auto difference = std::conj(g.dphi[indexOf(l, m)]) - g.dphi[indexOf(l, -m)];
                EXPECT_NEAR(std::abs(std::complex<double>(difference)), 0, 8 * tolerance<Real>())
                    << l << ' ' << m;
            }
        }
    }
}

TYPED_TEST(Gradients, OutputsRunOnAcrossPointsAndMayBeLeftOut) {
    using Real = TypeParam;
    const unsigned lmax = 4;
    for (bool negative_m : {true, false}) {
        const std::size_t count = seriesLength(lmax, negative_m);
        const Real phi[3] = {Real(0.2), Real(1.7), Real(3)};
        const Real theta[3] = {Real(5), Real(-1), Real(0.25)};
        std::vector<std::complex<Real>> both(6 * count);
        std::vector<std::complex<Real>> values(3 * count);
        evaluate_SPH_with_grads<Real>(both.data(), values.data(), lmax, phi, theta, 3, negative_m);

        std::vector<std::complex<Real>> gradientsOnly(6 * count);
        evaluate_SPH_with_grads<Real>(gradientsOnly.data(), nullptr, lmax, phi, theta, 3, negative_m);
        std::vector<std::complex<Real>> valuesOnly(3 * count);
        evaluate_SPH_with_grads<Real>(nullptr, valuesOnly.data(), lmax, phi, theta, 3, negative_m);
        std::vector<std::complex<Real>> plainValues(3 * count);
        evaluate_SPH<Real>(plainValues.data(), lmax, phi, theta, 3, negative_m);

        for (std::size_t p = 0; p < 3; ++p) {
            const auto single = gradients<Real>(lmax, phi[p], theta[p], negative_m);
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t j = p * count + k;
                ASSERT_TRUE(sameBits(both[2 * j], single.dphi[k]));
                ASSERT_TRUE(sameBits(both[2 * j + 1], single.dtheta[k]));
                ASSERT_TRUE(sameBits(gradientsOnly[2 * j], both[2 * j]));
                ASSERT_TRUE(sameBits(gradientsOnly[2 * j + 1], both[2 * j + 1]));
                ASSERT_TRUE(sameBits(valuesOnly[j], values[j]));
                ASSERT_TRUE(sameBits(plainValues[j], values[j]));
            }
        }
    }
}

TYPED_TEST(Gradients, NoPointsWriteNothing) {
    using Real = TypeParam;
    const std::complex<Real> sentinel(Real(9), Real(-9));
    std::vector<std::complex<Real>> pairs(8, sentinel);
    std::vector<std::complex<Real>> values(4, sentinel);
    const Real angle = Real(0.3);
    evaluate_SPH_with_grads<Real>(pairs.data(), values.data(), 1, &angle, &angle, 0, true);
    for (const auto& value : pairs) {
        EXPECT_TRUE(sameBits(value, sentinel));
    }
    for (const auto& value : values) {
        EXPECT_TRUE(sameBits(value, sentinel));
    }
}

TYPED_TEST(Gradients, NonFiniteAnglesRunThrough) {
    using Real = TypeParam;
    const Real nan = std::numeric_limits<Real>::quiet_NaN();
    const Real inf = std::numeric_limits<Real>::infinity();
    for (const auto& [phi, theta] : std::vector<std::pair<Real, Real>>{
             {nan, Real(1)}, {Real(1), nan}, {inf, Real(0)}, {Real(0), -inf}, {-inf, inf}}) {
        const auto g = gradients<Real>(3, phi, theta);
        EXPECT_TRUE(std::isnan(g.dphi[indexOf(2, 1)].real()) || std::isnan(g.dphi[indexOf(2, 1)].imag()))
            << phi << ' ' << theta;
    }
}

}  // namespace
}  // namespace kelo::testing
