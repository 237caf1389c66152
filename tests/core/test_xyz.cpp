// Harmonics of Cartesian vectors: against the angle evaluator, closed forms,
// the conventions' column factors, finite differences and invariants.

#include <algorithm>
#include <array>
#include <limits>
#include <type_traits>
#include <utility>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class Xyz : public ::testing::Test {};
TYPED_TEST_SUITE(Xyz, Precisions);

template <typename Real>
std::vector<std::complex<Real>> complexSeries(unsigned lmax, const Vectors<Real>& xyz, bool negative_m = true,
                                              Convention convention = {}) {
    std::vector<std::complex<Real>> values(xyz.size() / 3 * seriesLength(lmax, negative_m));
    evaluate_SPH_xyz<Real>(values.data(), lmax, xyz.data(), xyz.size() / 3, negative_m, convention);
    return values;
}

template <typename Real>
std::vector<Real> realSeries(unsigned lmax, const Vectors<Real>& xyz, Convention convention = {}) {
    std::vector<Real> values(xyz.size() / 3 * seriesLength(lmax, true));
    evaluate_SPH_xyz<Real>(values.data(), lmax, xyz.data(), xyz.size() / 3, convention);
    return values;
}

TYPED_TEST(Xyz, MatchesTheAngleEvaluatorAtTheVectorsAngles) {
    using Real = TypeParam;
    const unsigned lmax = 12;
    const auto xyz = randomVectors<Real>(50, 1);
    for (const bool negative_m : {true, false}) {
        const auto values = complexSeries<Real>(lmax, xyz, negative_m);
        const std::size_t count = seriesLength(lmax, negative_m);
        for (std::size_t p = 0; p < xyz.size() / 3; ++p) {
            const double x = xyz[3 * p], y = xyz[3 * p + 1], z = xyz[3 * p + 2];
            const auto expected = series<double>(lmax, std::atan2(std::hypot(x, y), z), std::atan2(y, x), negative_m);
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_NEAR(std::abs(std::complex<double>(values[p * count + k]) - expected[k]), 0,
                            8 * tolerance<Real>())
                    << "vector " << p << ", column " << k << ", negative_m " << negative_m;
            }
        }
    }
}

// Convention by convention, the closed forms of degree 1 and of Y_2^2.
TYPED_TEST(Xyz, LowDegreesHaveTheirClosedForms) {
    using Real = TypeParam;
    const double x = 0.36, y = -0.48, z = 0.8;  // a unit vector, given at length 5
    const Vectors<Real> xyz = {Real(5 * x), Real(5 * y), Real(5 * z)};
    const double c1 = std::sqrt(3 / (4 * kPi));
    const double c2 = std::sqrt(15 / (32 * kPi));
    const std::complex<double> w(x, y);
    struct Case {
        Convention convention;
        double scale1;  // of degree 1 relative to orthonormal
        double scale2;
    };
    const double root4Pi = std::sqrt(4 * kPi);
    for (const Case& c : {Case{{Normalization::orthonormal, false}, 1, 1},
                          Case{{Normalization::four_pi, true}, root4Pi, root4Pi},
                          Case{{Normalization::schmidt, true}, root4Pi / std::sqrt(3.0), root4Pi / std::sqrt(5.0)}}) {
        SCOPED_TRACE(::testing::Message() << "normalization " << int(c.convention.normalization));
        const double phase = c.convention.condon_shortley ? -1 : 1;
        const auto complexValues = complexSeries<Real>(2, xyz, true, c.convention);
        const std::complex<double> expectedComplex[] = {
            c.scale1 * c1 * z, phase * c.scale1 * c1 * w / std::sqrt(2.0), c.scale1 * c1 * std::conj(w) / std::sqrt(2.0),
            c.scale2 * c2 * w * w, c.scale2 * c2 * std::conj(w * w)};
        const std::size_t columns[] = {indexOf(1, 0), indexOf(1, 1), indexOf(1, -1), indexOf(2, 2), indexOf(2, -2)};
        const auto realValues = realSeries<Real>(2, xyz, c.convention);
        const double expectedReal[] = {c.scale1 * c1 * z, phase * c.scale1 * c1 * x, phase * c.scale1 * c1 * y,
                                       c.scale2 * c2 * std::sqrt(2.0) * (x * x - y * y),
                                       c.scale2 * c2 * std::sqrt(2.0) * 2 * x * y};
        for (int k = 0; k < 5; ++k) {
            EXPECT_NEAR(std::abs(std::complex<double>(complexValues[columns[k]]) - expectedComplex[k]), 0,
                        4 * tolerance<Real>()) << "column " << columns[k];
            EXPECT_NEAR(realValues[columns[k]], expectedReal[k], 4 * tolerance<Real>()) << "column " << columns[k];
        }
    }
}

// Every convention is kelo's series times columnFactor, folded into the
// recurrence rather than applied per column: both ways must agree.
TYPED_TEST(Xyz, ConventionsScaleEachColumnByItsFactor) {
    using Real = TypeParam;
    const unsigned lmax = 10;
    const auto xyz = randomVectors<Real>(20, 2);
    const auto plain = complexSeries<Real>(lmax, xyz);
    const std::size_t count = seriesLength(lmax, true);
    for (const Normalization normalization : {Normalization::orthonormal, Normalization::four_pi, Normalization::schmidt}) {
        for (const bool condonShortley : {false, true}) {
            const Convention convention{normalization, condonShortley};
            SCOPED_TRACE(::testing::Message() << "normalization " << int(normalization) << ", CS " << condonShortley);
            const auto complexValues = complexSeries<Real>(lmax, xyz, true, convention);
            const auto realValues = realSeries<Real>(lmax, xyz, convention);
            for (std::size_t p = 0; p < xyz.size() / 3; ++p) {
                for (int l = 0; l <= int(lmax); ++l) {
                    for (int m = -l; m <= l; ++m) {
                        const std::size_t k = p * count + indexOf(l, m);
                        const std::complex<double> y(plain[k]);
                        const std::complex<double> positive(plain[p * count + indexOf(l, std::abs(m))]);
                        const double complexFactor = columnFactor(convention, l, m, Output::complex);
                        const double realFactor = columnFactor(convention, l, m, Output::real);
                        const double tol = 4 * tolerance<Real>() * std::abs(complexFactor);
                        ASSERT_NEAR(std::abs(std::complex<double>(complexValues[k]) - complexFactor * y), 0, tol)
                            << "complex (" << l << ", " << m << ")";
                        ASSERT_NEAR(realValues[k], realFactor * (m >= 0 ? positive.real() : positive.imag()), tol)
                            << "real (" << l << ", " << m << ")";
                    }
                }
            }
        }
    }
}

/** The harmonics and gradients of one vector through the complex entry point. */
template <typename Real>
std::pair<std::vector<std::complex<Real>>, std::vector<std::complex<Real>>> withGradients(unsigned lmax,
                                                                                          const Real* r) {
    std::vector<std::complex<Real>> values(seriesLength(lmax, true));
    std::vector<std::complex<Real>> gradients(3 * values.size());
    evaluate_SPH_xyz_with_grads<Real>(gradients.data(), values.data(), lmax, r, 1, true);
    return {values, gradients};
}

TYPED_TEST(Xyz, GradientsAreTheDerivativesAlongEachAxis) {
    using Real = TypeParam;
    const unsigned lmax = 8;
    const auto xyz = randomVectors<Real>(20, 3);
    const std::size_t count = seriesLength(lmax, true);
    for (std::size_t p = 0; p < xyz.size() / 3; ++p) {
        const Real* r = &xyz[3 * p];
        const auto [values, gradients] = withGradients<Real>(lmax, r);
        EXPECT_TRUE(sameArrays(values, complexSeries<Real>(lmax, Vectors<Real>(r, r + 3))));
        const double length = std::sqrt(double(r[0]) * r[0] + double(r[1]) * r[1] + double(r[2]) * r[2]);
        for (int axis = 0; axis < 3; ++axis) {
            // Central differences in double, at a step relative to |r|, across the z-axis too.
            const double h = 1e-5 * length;
            Vectors<double> plus(r, r + 3);
            Vectors<double> minus(r, r + 3);
            plus[axis] += h;
            minus[axis] -= h;
            const auto up = complexSeries<double>(lmax, plus);
            const auto down = complexSeries<double>(lmax, minus);
            for (std::size_t k = 0; k < count; ++k) {
                const std::complex<double> difference = (up[k] - down[k]) / (2 * h);
                ASSERT_NEAR(std::abs(std::complex<double>(gradients[3 * k + axis]) - difference) * length, 0,
                            16 * tolerance<Real>() + 1e-8)
                    << "vector " << p << ", column " << k << ", axis " << axis;
            }
        }
        // Tangential: no change along r itself.
        for (std::size_t k = 0; k < count; ++k) {
            std::complex<double> radial = 0;
            for (int axis = 0; axis < 3; ++axis) {
                radial += std::complex<double>(gradients[3 * k + axis]) * double(r[axis]);
            }
            ASSERT_NEAR(std::abs(radial), 0, 16 * tolerance<Real>()) << "vector " << p << ", column " << k;
        }
    }
}

// Scaling by a power of two is exact in every step: same values, gradients scaled exactly.
TYPED_TEST(Xyz, LengthScalesOnlyTheGradients) {
    using Real = TypeParam;
    const unsigned lmax = 6;
    const Real extreme = std::is_same_v<Real, double> ? Real(0x1p+660) : Real(0x1p+100);
    const Real r[3] = {Real(0.25), Real(-1.5), Real(0.75)};
    const auto [values, gradients] = withGradients<Real>(lmax, r);
    for (const Real factor : {Real(4), Real(0.125), extreme, Real(1) / extreme}) {
        const Real scaled[3] = {r[0] * factor, r[1] * factor, r[2] * factor};
        const auto [scaledValues, scaledGradients] = withGradients<Real>(lmax, scaled);
        EXPECT_TRUE(sameArrays(scaledValues, values)) << factor;
        for (std::size_t k = 0; k < gradients.size(); ++k) {
            ASSERT_EQ(scaledGradients[k], gradients[k] / factor) << factor << ", entry " << k;
        }
    }
    // Near the ends of the range, subnormal components included: within rounding.
    for (const Real factor : {std::numeric_limits<Real>::max() / 3, std::numeric_limits<Real>::min() / 24}) {
        const Vectors<Real> scaled = {r[0] * factor, r[1] * factor, r[2] * factor};
        const auto scaledValues = complexSeries<Real>(lmax, scaled);
        for (std::size_t k = 0; k < values.size(); ++k) {
            ASSERT_NEAR(std::abs(scaledValues[k] - values[k]), 0, 4 * tolerance<Real>()) << factor << ", " << k;
        }
    }
}

TYPED_TEST(Xyz, ZeroAndNonFiniteVectorsGetTheirDocumentedValues) {
    using Real = TypeParam;
    const unsigned lmax = 3;
    const Real nan = std::numeric_limits<Real>::quiet_NaN();
    const Real inf = std::numeric_limits<Real>::infinity();
    const Vectors<Real> xyz = {1, 2, 3, 0, 0, 0, -0.0, 0, -0.0, nan, 0, 0, 0, 0, inf, 0, 0, nan};
    const Convention fourPi{Normalization::four_pi, true};
    const std::size_t count = seriesLength(lmax, true);
    std::vector<std::complex<Real>> values(6 * count);
    std::vector<std::complex<Real>> gradients(3 * values.size());
    evaluate_SPH_xyz_with_grads<Real>(gradients.data(), values.data(), lmax, xyz.data(), 6, true, fourPi);
    std::vector<Real> realValues(values.size());
    evaluate_SPH_xyz<Real>(realValues.data(), lmax, xyz.data(), 6, fourPi);
    for (std::size_t p = 1; p < 6; ++p) {
        for (std::size_t k = 0; k < count; ++k) {
            const std::complex<Real> value = values[p * count + k];
            const Real realValue = realValues[p * count + k];
            if (p < 3) {
                // The mean over the sphere: Y_0^0 = 1 in this normalisation, 0 beyond.
                EXPECT_EQ(value, std::complex<Real>(k == 0 ? 1 : 0)) << p << ", " << k;
                EXPECT_EQ(realValue, Real(k == 0 ? 1 : 0)) << p << ", " << k;
            } else {
                EXPECT_TRUE(std::isnan(value.real()) && std::isnan(value.imag()) && std::isnan(realValue));
            }
            for (int axis = 0; axis < 3; ++axis) {
                const std::complex<Real> g = gradients[3 * (p * count + k) + axis];
                EXPECT_TRUE(p < 3 ? g == std::complex<Real>(0) : std::isnan(g.real()) && std::isnan(g.imag()));
            }
        }
    }
    EXPECT_TRUE(std::isfinite(values[count - 1].real()));  // the neighbour of the special vectors
}

// Threads and groups of lanes decide who computes a vector, never its bits.
TYPED_TEST(Xyz, EveryEntryPointWritesTheSameBitsOnAnyThreadsAndLanes) {
    using Real = TypeParam;
    const unsigned lmax = 9;
    auto xyz = randomVectors<Real>(997, 4);
    xyz[30] = xyz[31] = xyz[32] = 0;
    const std::size_t n = xyz.size() / 3;
    const std::size_t count = seriesLength(lmax, true);
    const auto run = [&](std::size_t first, std::size_t points, unsigned threads) {
        std::vector<std::complex<Real>> complexValues(points * count);
        std::vector<std::complex<Real>> complexGradients(3 * points * count);
        std::vector<std::complex<Real>> complexAgain(points * count);
        std::vector<Real> realValues(points * count);
        std::vector<Real> realGradients(3 * points * count);
        std::vector<Real> realAgain(points * count);
        const Real* r = xyz.data() + 3 * first;
        evaluate_SPH_xyz_parallel<Real>(complexValues.data(), lmax, r, points, true, {}, threads);
        evaluate_SPH_xyz_with_grads_parallel<Real>(complexGradients.data(), complexAgain.data(), lmax, r, points,
                                                   true, {}, threads);
        evaluate_SPH_xyz_parallel<Real>(realValues.data(), lmax, r, points, {}, threads);
        evaluate_SPH_xyz_with_grads_parallel<Real>(realGradients.data(), realAgain.data(), lmax, r, points, {},
                                                   threads);
        EXPECT_TRUE(sameArrays(complexValues, complexAgain));
        EXPECT_TRUE(sameArrays(realValues, realAgain));
        return std::make_pair(complexGradients, realGradients);
    };
    const auto serial = run(0, n, 1);
    for (const unsigned threads : {0u, 2u, 3u, 8u}) {
        const auto parallel = run(0, n, threads);
        EXPECT_TRUE(sameArrays(parallel.first, serial.first) && sameArrays(parallel.second, serial.second))
            << threads << " threads";
    }
    // Starting one vector later moves every vector to another lane.
    const auto shifted = run(1, n - 1, 2);
    EXPECT_TRUE(std::equal(shifted.first.begin(), shifted.first.end(), serial.first.begin() + 3 * count,
                           [](auto a, auto b) { return sameBits(a, b); }));
    EXPECT_TRUE(std::equal(shifted.second.begin(), shifted.second.end(), serial.second.begin() + 3 * count,
                           [](auto a, auto b) { return sameBits(a, b); }));
}

/**
 * The harmonics and gradients of every vector, with Entry the complex or real
 * type of the output, which must leave the entries past its end alone.
 */
template <typename Real, typename Entry>
std::pair<std::vector<Entry>, std::vector<Entry>> everything(unsigned lmax, const Vectors<Real>& xyz, bool negative_m) {
    const std::size_t n = xyz.size() / 3;
    const std::size_t count = n * seriesLength(lmax, negative_m);
    const std::size_t guard = 64;
    const Entry untouched(Real(7));
    std::vector<Entry> values(count + guard, untouched);
    std::vector<Entry> gradients(3 * count + guard, untouched);
    if constexpr (std::is_same_v<Entry, Real>) {
        evaluate_SPH_xyz_with_grads<Real>(gradients.data(), values.data(), lmax, xyz.data(), n);
    } else {
        evaluate_SPH_xyz_with_grads<Real>(gradients.data(), values.data(), lmax, xyz.data(), n, negative_m);
    }
    for (std::vector<Entry>* output : {&values, &gradients}) {
        EXPECT_TRUE(std::all_of(output->end() - guard, output->end(), [&](Entry e) { return e == untouched; }))
            << "written past the end, lmax " << lmax;
        output->resize(output->size() - guard);
    }
    return {values, gradients};
}

/** Whether every row of `rows`, `width` entries each, begins with the row of `prefix` of `prefixWidth` entries. */
template <typename Entry>
bool rowsBeginWith(const std::vector<Entry>& rows, std::size_t width, const std::vector<Entry>& prefix,
                   std::size_t prefixWidth) {
    for (std::size_t p = 0; p < prefix.size() / prefixWidth; ++p) {
        if (!std::equal(prefix.begin() + p * prefixWidth, prefix.begin() + (p + 1) * prefixWidth,
                        rows.begin() + p * width, [](Entry a, Entry b) { return sameBits(a, b); })) {
            return false;
        }
    }
    return true;
}

// Low degrees run unrolled code of their own: it must write the bits of the
// general code, whose series begin with the same columns.
TYPED_TEST(Xyz, UnrolledDegreesWriteTheBitsOfTheGeneralCode) {
    using Real = TypeParam;
    const unsigned general = detail::XyzKernel<Real, Output::real>::kUnrolledLmax + 1;
    auto xyz = randomVectors<Real>(37, 5);  // with the axes, a partial group at the end
    xyz[6] = xyz[7] = xyz[8] = 0;
    xyz[13] = std::numeric_limits<Real>::infinity();
    const auto compare = [&](auto entry, bool negative_m) {
        using Entry = decltype(entry);
        const auto [values, gradients] = everything<Real, Entry>(general, xyz, negative_m);
        const std::size_t width = seriesLength(general, negative_m);
        for (unsigned lmax = 0; lmax < general; ++lmax) {
            const auto [lowValues, lowGradients] = everything<Real, Entry>(lmax, xyz, negative_m);
            const std::size_t prefix = seriesLength(lmax, negative_m);
            EXPECT_TRUE(rowsBeginWith(values, width, lowValues, prefix)) << "lmax " << lmax;
            EXPECT_TRUE(rowsBeginWith(gradients, 3 * width, lowGradients, 3 * prefix)) << "lmax " << lmax;
        }
    };
    compare(Real(), true);
    for (const bool negative_m : {true, false}) {
        SCOPED_TRACE(::testing::Message() << "complex, negative_m " << negative_m);
        compare(std::complex<Real>(), negative_m);
    }
}

TEST(Xyz, TooLargeADegreeThrowsBeforeWriting) {
    const double r[3] = {1, 2, 3};
    double output = 5;
    EXPECT_THROW(evaluate_SPH_xyz_parallel<double>(&output, 46341, r, 1, {}, 2), std::length_error);
    EXPECT_THROW(evaluate_SPH_xyz_with_grads<double>(&output, nullptr, 46341, r, 1), std::length_error);
    EXPECT_EQ(output, 5);
}

}  // namespace
}  // namespace kelo::testing
