// Recurrence coefficients of the orthonormal polynomials for the weight (1 - x^2)^m.

#include <thread>
#include <tuple>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class Coefficients : public ::testing::Test {};
TYPED_TEST_SUITE(Coefficients, Precisions);

// Closed forms, evaluated in long double so they do not share our rounding.
long double closedA(long double m, long double k) {
    return std::sqrt((2 * k + 2 * m + 1) * (2 * k + 2 * m + 3) / ((k + 1) * (k + 2 * m + 1)));
}

long double closedB(long double m, long double k) {
    return -std::sqrt((2 * k + 2 * m + 3) * k * (k + 2 * m) /
                      ((2 * k + 2 * m - 1) * (k + 1) * (k + 2 * m + 1)));
}

TYPED_TEST(Coefficients, DegreeOneHasOnlyTheFirstColumn) {
    using Real = TypeParam;
    const PointSPHEvaluator<Real> evaluator(1);
    EXPECT_EQ(evaluator.coefficientA(0, 0), static_cast<Real>(std::sqrt(3.0)));
    EXPECT_EQ(evaluator.coefficientA(1, 0), static_cast<Real>(std::sqrt(5.0)));
    EXPECT_TRUE(sameBits(evaluator.coefficientB(0, 0), Real(0)));
    EXPECT_TRUE(sameBits(evaluator.coefficientB(1, 0), Real(0)));
}

TYPED_TEST(Coefficients, DegreeTwoMatchesClosedValues) {
    using Real = TypeParam;
    const PointSPHEvaluator<Real> evaluator(2);
    const double a[3][2] = {{std::sqrt(3.0), std::sqrt(15.0) / 2},
                            {std::sqrt(5.0), std::sqrt(35.0 / 8)},
                            {std::sqrt(7.0), std::sqrt(21.0) / 2}};
    const double b[3] = {-std::sqrt(5.0) / 2, -std::sqrt(7.0 / 8), -std::sqrt(3.0) / 2};
    for (unsigned m = 0; m <= 2; ++m) {
        SCOPED_TRACE(m);
        for (unsigned k = 0; k < 2; ++k) {
            EXPECT_NEAR(evaluator.coefficientA(m, k), a[m][k], tolerance<Real>());
        }
        EXPECT_EQ(evaluator.coefficientB(m, 0), Real(0));
        EXPECT_NEAR(evaluator.coefficientB(m, 1), b[m], tolerance<Real>());
    }
}

// The float table must hold the double coefficients rounded once, not values
// computed in float.
TEST(Coefficients, FloatTableIsTheDoubleTableRounded) {
    const unsigned lmax = 40;
    const PointSPHEvaluator<double> wide(lmax);
    const PointSPHEvaluator<float> narrow(lmax);
    for (unsigned m = 0; m <= lmax; ++m) {
        for (unsigned k = 0; k < lmax; ++k) {
            ASSERT_EQ(narrow.coefficientA(m, k), static_cast<float>(wide.coefficientA(m, k)));
            ASSERT_EQ(narrow.coefficientB(m, k), static_cast<float>(wide.coefficientB(m, k)));
        }
    }
}

TEST(Coefficients, AgreeWithClosedFormsAtHighDegree) {
    const unsigned lmax = 300;
    const PointSPHEvaluator<double> evaluator(lmax);
    for (unsigned m = 0; m <= lmax; m += 7) {
        for (unsigned k = 1; k < lmax; k += 3) {
            const long double a = closedA(m, k);
            const long double b = closedB(m, k);
            ASSERT_NEAR(evaluator.coefficientA(m, k), a, 8e-16 * a) << m << ' ' << k;
            ASSERT_NEAR(evaluator.coefficientB(m, k), b, -8e-16 * b) << m << ' ' << k;
        }
    }
}

TEST(Coefficients, DegreesBeyondThe32BitTablesAreRefused) {
    using Evaluator = PointSPHEvaluator<double>;
    EXPECT_EQ(Evaluator::maxLmax, 46340u);
    EXPECT_THROW(Evaluator(Evaluator::maxLmax + 1), std::length_error);
    EXPECT_THROW(Evaluator(4294967295u), std::length_error);
    try {
        Evaluator evaluator(50000);
        FAIL() << "no exception";
    } catch (const std::length_error& error) {
        EXPECT_NE(std::string(error.what()).find("46340"), std::string::npos) << error.what();
    }
}

// More kinds of call than are kept, each asked for twice, by two threads at
// once. Besides the degree, the kinds differ in their factors and ladders.
TYPED_TEST(Coefficients, SharedSetsAreThoseOfTheirCall) {
    using Real = TypeParam;
    const auto askForAll = [] {
        for (int round = 0; round < 2; ++round) {
            for (const unsigned lmax : {3u, detail::kCachedLmax, detail::kCachedLmax + 1}) {
                for (int kind = 0; kind < 16; ++kind) {
                    const Convention convention{kind & 8 ? Normalization::schmidt : Normalization::orthonormal,
                                                (kind & 2) != 0};
                    const Output output = kind & 4 ? Output::real : Output::complex;
                    const auto shared = detail::sharedCoefficients<Real>(lmax, kind & 1, convention, output);
                    const detail::SeriesCoefficients<Real> built(lmax, kind & 1, convention, output);
                    ASSERT_EQ(std::tuple(shared->lmax(), shared->gradients(), shared->form()),
                              std::tuple(built.lmax(), built.gradients(), built.form()));
                    for (std::size_t l = 0; built.form() != detail::Form::complex && l <= lmax; ++l) {
                        for (std::int64_t m = -std::int64_t(l); m <= std::int64_t(l); ++m) {
                            ASSERT_TRUE(sameBits(shared->factor(l, m), built.factor(l, m))) << lmax << ' ' << kind;
                        }
                    }
                }
            }
        }
    };
    std::thread other(askForAll);
    askForAll();
    other.join();
}

}  // namespace
}  // namespace kelo::testing
