// Harmonic values: series order, batch layout, closed forms, symmetries and norms.

#include <array>
#include <limits>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class Harmonics : public ::testing::Test {};
TYPED_TEST_SUITE(Harmonics, Precisions);

std::vector<std::pair<int, int>> walkedOrders(unsigned lmax, bool negative_m) {
    const PointSPHEvaluator<double> evaluator(lmax);
    std::vector<std::pair<int, int>> orders;
    const auto end = evaluator.end(negative_m);
    for (auto it = evaluator.begin(negative_m); it != end; ++it) {
        orders.emplace_back(static_cast<int>(it.l()), it.m());
    }
    return orders;
}

TEST(SeriesOrder, DegreesAscendThenPositiveThenNegativeOrders) {
    const std::vector<std::pair<int, int>> full = {{0, 0}, {1, 0}, {1, 1},  {1, -1}, {2, 0},
                                                   {2, 1}, {2, 2}, {2, -1}, {2, -2}};
    const std::vector<std::pair<int, int>> positive = {{0, 0}, {1, 0}, {1, 1},
                                                       {2, 0}, {2, 1}, {2, 2}};
    EXPECT_EQ(walkedOrders(2, true), full);
    EXPECT_EQ(walkedOrders(2, false), positive);
    for (unsigned lmax : {0u, 1u, 7u, 30u}) {
        EXPECT_EQ(walkedOrders(lmax, true).size(), seriesLength(lmax, true));
        EXPECT_EQ(walkedOrders(lmax, false).size(), seriesLength(lmax, false));
    }
}

TYPED_TEST(Harmonics, MatchClosedFormsUpToDegreeTwo) {
    using Real = TypeParam;
    using C = std::complex<double>;
    for (const auto& [phi, theta] : randomPoints<Real>(40, 2)) {
        const double x = std::cos(static_cast<double>(phi));
        const double s = std::sin(static_cast<double>(phi));
        const auto e = [&](int m) { return std::polar(1.0, m * static_cast<double>(theta)); };
        const std::array<C, 9> expected = {
            C(0.5 / std::sqrt(kPi)),
            C(std::sqrt(3 / (4 * kPi)) * x),
            std::sqrt(3 / (8 * kPi)) * s * e(1),
            std::sqrt(3 / (8 * kPi)) * s * e(-1),
            C(std::sqrt(5 / (16 * kPi)) * (3 * x * x - 1)),
            std::sqrt(15 / (8 * kPi)) * s * x * e(1),
            std::sqrt(15 / (32 * kPi)) * s * s * e(2),
            std::sqrt(15 / (8 * kPi)) * s * x * e(-1),
            std::sqrt(15 / (32 * kPi)) * s * s * e(-2)};
        const auto values = series<Real>(2, phi, theta);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NEAR(values[i].real(), expected[i].real(), tolerance<Real>()) << i;
            EXPECT_NEAR(values[i].imag(), expected[i].imag(), tolerance<Real>()) << i;
        }
    }
}

TYPED_TEST(Harmonics, DegreeZeroIsOneOverSqrtFourPi) {
    using Real = TypeParam;
    const double c0 = 0.7071067811865475;
    EXPECT_EQ(c0 / 2.5066282746310002, 0.28209479177387814);  // 1 / sqrt(4 pi), to the last digit
    // The Legendre entry is c0 in Real; the division by sqrt(2 pi) is taken in double.
    const double quotient = static_cast<Real>(c0) / 2.5066282746310002;
    for (const auto& [phi, theta] : randomPoints<Real>(10, 3)) {
        const auto value = series<Real>(0, phi, theta)[0];
        EXPECT_TRUE(sameBits(value, std::complex<Real>(static_cast<Real>(quotient), 0)));
    }
}

TYPED_TEST(Harmonics, NegativeOrdersAreExactConjugates) {
    using Real = TypeParam;
    const int lmax = 15;
    for (const auto& [phi, theta] : randomPoints<Real>(20, 4)) {
        const auto values = series<Real>(lmax, phi, theta);
        for (int l = 1; l <= lmax; ++l) {
            for (int m = 1; m <= l; ++m) {
                ASSERT_TRUE(sameBits(values[indexOf(l, -m)], std::conj(values[indexOf(l, m)])))
                    << l << ' ' << m;
            }
        }
    }
}

TYPED_TEST(Harmonics, WithoutNegativeOrdersTheRestIsUnchanged) {
    using Real = TypeParam;
    const unsigned lmax = 6;
    const auto full = series<Real>(lmax, Real(1.1), Real(2.3), true);
    const auto positive = series<Real>(lmax, Real(1.1), Real(2.3), false);
    std::size_t next = 0;
    for (int l = 0; l <= static_cast<int>(lmax); ++l) {
        for (int m = 0; m <= l; ++m) {
            EXPECT_TRUE(sameBits(positive[next++], full[indexOf(l, m)]));
        }
    }
}

TYPED_TEST(Harmonics, BatchIsPointMajorAndEqualsSinglePoints) {
    using Real = TypeParam;
    const unsigned lmax = 5;
    const auto points = randomPoints<Real>(7, 5);
    std::vector<Real> phi;
    std::vector<Real> theta;
    for (const auto& [p, t] : points) {
        phi.push_back(p);
        theta.push_back(t);
    }
    const std::size_t count = seriesLength(lmax, true);
    std::vector<std::complex<Real>> batch(points.size() * count);
    evaluate_SPH<Real>(batch.data(), lmax, phi.data(), theta.data(),
                       static_cast<unsigned>(points.size()), true);
    for (std::size_t p = 0; p < points.size(); ++p) {
        const auto single = series<Real>(lmax, phi[p], theta[p]);
        for (std::size_t k = 0; k < count; ++k) {
            ASSERT_TRUE(sameBits(batch[p * count + k], single[k])) << p << ' ' << k;
        }
    }
}

TYPED_TEST(Harmonics, NoPointsLeavesTheOutputUntouched) {
    using Real = TypeParam;
    const std::complex<Real> sentinel(Real(-7), Real(3));
    std::vector<std::complex<Real>> output(4, sentinel);
    const Real angle = 1;
    evaluate_SPH<Real>(output.data(), 1, &angle, &angle, 0, true);
    for (const auto& value : output) {
        EXPECT_TRUE(sameBits(value, sentinel));
    }
}

TYPED_TEST(Harmonics, NorthPoleKeepsOnlyZonalHarmonics) {
    using Real = TypeParam;
    const int lmax = 10;
    const auto values = series<Real>(lmax, Real(0), Real(1.3));
    for (int l = 0; l <= lmax; ++l) {
        EXPECT_NEAR(values[indexOf(l, 0)].real(), std::sqrt((2 * l + 1) / (4 * kPi)),
                    8 * tolerance<Real>());
        for (int m = 1; m <= l; ++m) {
            EXPECT_EQ(values[indexOf(l, m)], std::complex<Real>(0)) << l << ' ' << m;
            EXPECT_EQ(values[indexOf(l, -m)], std::complex<Real>(0)) << l << ' ' << m;
        }
    }
}

TYPED_TEST(Harmonics, ZeroAzimuthGivesRealValuesWithoutCondonShortleyPhase) {
    using Real = TypeParam;
    const auto values = series<Real>(8, Real(0.9), Real(0));
    for (const auto& value : values) {
        EXPECT_EQ(value.imag(), Real(0));
    }
    const auto equator = series<Real>(1, static_cast<Real>(kPi / 2), Real(0));
    EXPECT_NEAR(equator[indexOf(1, 1)].real(), std::sqrt(3 / (8 * kPi)), tolerance<Real>());
}

// Unsold's theorem: sum over m of |Y_l^m|^2 = (2l + 1) / (4 pi) at every point,
// which holds only if every order of a degree is right, up to high degree.
TYPED_TEST(Harmonics, AdditionTheoremHoldsToHighDegree) {
    using Real = TypeParam;
    // Float overflows in the recurrence beyond about degree 170 (see README).
    const int lmax = std::is_same_v<Real, float> ? 150 : 400;
    const double relative = std::is_same_v<Real, float> ? 1e-4 : 1e-12;
    for (const auto& [phi, theta] : randomPoints<Real>(3, 6)) {
        const auto values = series<Real>(lmax, phi, theta);
        for (int l = 0; l <= lmax; ++l) {
            double sum = 0;
            for (int m = -l; m <= l; ++m) {
                sum += std::norm(std::complex<double>(values[indexOf(l, m)]));
            }
            const double expected = (2 * l + 1) / (4 * kPi);
            ASSERT_NEAR(sum, expected, relative * expected) << "l=" << l << " phi=" << phi;
        }
    }
}

/** Gauss-Legendre nodes and weights on [-1, 1], by Newton's method. */
std::vector<std::pair<double, double>> gaussLegendre(int n) {
    std::vector<std::pair<double, double>> rule;
    for (int i = 0; i < n; ++i) {
        double x = std::cos(kPi * (i + 0.75) / (n + 0.5));
        double derivative = 0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            double p0 = 1;
            double p1 = x;
            for (int k = 2; k <= n; ++k) {
                const double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
                p0 = p1;
                p1 = p2;
            }
            derivative = n * (x * p1 - p0) / (x * x - 1);
            const double step = p1 / derivative;
            x -= step;
            if (std::abs(step) < 1e-16) {
                break;
            }
        }
        rule.emplace_back(x, 2 / ((1 - x * x) * derivative * derivative));
    }
    return rule;
}

TYPED_TEST(Harmonics, AreOrthonormalOnTheSphere) {
    using Real = TypeParam;
    const int lmax = 8;
    const int azimuths = 2 * lmax + 2;
    const std::size_t count = seriesLength(lmax, true);
    std::vector<std::complex<double>> gram(count * count);
    for (const auto& [x, weight] : gaussLegendre(lmax + 1)) {
        for (int j = 0; j < azimuths; ++j) {
            const auto values = series<Real>(lmax, static_cast<Real>(std::acos(x)),
                                             static_cast<Real>(2 * kPi * j / azimuths));
            const double w = weight * 2 * kPi / azimuths;
            for (std::size_t a = 0; a < count; ++a) {
                for (std::size_t b = 0; b < count; ++b) {
                    gram[a * count + b] += w * std::complex<double>(values[a]) *
                                           std::conj(std::complex<double>(values[b]));
                }
            }
        }
    }
    for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = 0; b < count; ++b) {
            EXPECT_NEAR(std::abs(gram[a * count + b] - (a == b ? 1.0 : 0.0)), 0,
                        20 * tolerance<Real>())
                << a << ' ' << b;
        }
    }
}

TYPED_TEST(Harmonics, NonFiniteAnglesGiveNonFiniteValuesWithoutStopping) {
    using Real = TypeParam;
    const Real nan = std::numeric_limits<Real>::quiet_NaN();
    const Real inf = std::numeric_limits<Real>::infinity();
    const Real phi[4] = {nan, Real(1), inf, Real(0.5)};
    const Real theta[4] = {Real(1), nan, Real(1), -inf};
    const std::size_t count = seriesLength(3, true);
    std::vector<std::complex<Real>> values(4 * count);
    evaluate_SPH<Real>(values.data(), 3, phi, theta, 4, true);
    for (std::size_t p : {0, 2}) {
        EXPECT_TRUE(std::isnan(values[p * count + indexOf(1, 0)].real())) << p;
    }
    // A NaN azimuth poisons even m = 0, since 0 * NaN is NaN.
    EXPECT_TRUE(std::isnan(values[count].imag()));
    EXPECT_TRUE(std::isnan(values[3 * count + indexOf(1, 1)].real()));
}

template <typename Real>
std::complex<Real> builtinProduct(Real a, Real b, Real c, Real d) {
    using Builtin = std::conditional_t<std::is_same_v<Real, float>, __complex__ float,
                                       __complex__ double>;
    Builtin z;
    __real__ z = a;
    __imag__ z = b;
    Builtin w;
    __real__ w = c;
    __imag__ w = d;
    const volatile Builtin product = z * w;
    return {__real__ product, __imag__ product};
}

// The product must follow IEC 60559 complex multiplication, as the compiler's
// own _Complex arithmetic (libgcc) does, including its infinity recovery.
TYPED_TEST(Harmonics, MultiplyMatchesBuiltinComplexArithmetic) {
    using Real = TypeParam;
    const Real inf = std::numeric_limits<Real>::infinity();
    const Real nan = std::numeric_limits<Real>::quiet_NaN();
    const Real specials[] = {Real(0), -Real(0), Real(1.5), Real(-2), inf, -inf, nan,
                             std::numeric_limits<Real>::max()};
    for (Real a : specials) {
        for (Real b : specials) {
            for (Real c : specials) {
                for (Real d : specials) {
                    const std::complex<Real> product = builtinProduct(a, b, c, d);
                    const std::complex<Real> ours = multiply<Real>({a, b}, {c, d});
                    const Real re = product.real();
                    const Real im = product.imag();
                    const bool same = (std::isnan(re) ? std::isnan(ours.real())
                                                      : sameBits(re, ours.real())) &&
                                      (std::isnan(im) ? std::isnan(ours.imag())
                                                      : sameBits(im, ours.imag()));
                    ASSERT_TRUE(same) << a << ' ' << b << ' ' << c << ' ' << d << " -> " << re
                                      << ' ' << im << " vs " << ours;
                }
            }
        }
    }
}

TEST(Harmonics, TooLargeADegreeThrowsBeforeWriting) {
    std::complex<double> untouched(5, 5);
    const double angle = 0;
    EXPECT_THROW(evaluate_SPH<double>(&untouched, 46341, &angle, &angle, 0, true),
                 std::length_error);
    EXPECT_EQ(untouched, std::complex<double>(5, 5));
}

}  // namespace
}  // namespace kelo::testing
