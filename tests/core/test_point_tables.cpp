// The per-point tables: powers of sin(phi), phase factors, Jacobi and Legendre values.

#include <cstdint>
#include <limits>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class PointTables : public ::testing::Test {};
TYPED_TEST_SUITE(PointTables, Precisions);

TYPED_TEST(PointTables, DegreeZeroHoldsTheConstantOneOverSqrtTwo) {
    using Real = TypeParam;
    PointSPHEvaluator<Real> evaluator(0);
    evaluator.compute(Real(1.2), Real(4.0));
    // 1.0 / sqrt(2.0) in double is one ulp below the correctly rounded sqrt(0.5).
    const double c0 = 0.7071067811865475;
    std::uint64_t bits;
    std::memcpy(&bits, &c0, sizeof bits);
    ASSERT_EQ(bits, 0x3FE6A09E667F3BCCu);
    EXPECT_TRUE(sameBits(evaluator.jacobi(0, 0), static_cast<Real>(c0)));
    EXPECT_TRUE(sameBits(evaluator.legendre(0, 0), static_cast<Real>(c0)));
    EXPECT_EQ(evaluator.sinPower(0), Real(1));
    EXPECT_TRUE(sameBits(evaluator.thetaHarmonic(0), std::complex<Real>(1, 0)));
}

TYPED_TEST(PointTables, LegendreMatchesClosedFormsUpToDegreeTwo) {
    using Real = TypeParam;
    PointSPHEvaluator<Real> evaluator(2);
    for (const auto& [phi, theta] : randomPoints<Real>(50, 1)) {
        evaluator.compute(phi, theta);
        const double x = std::cos(static_cast<double>(phi));
        const double s = std::sin(static_cast<double>(phi));
        const double expected[6] = {1 / std::sqrt(2.0),
                                    std::sqrt(1.5) * x,
                                    std::sqrt(3.0) / 2 * s,
                                    std::sqrt(2.5) * (3 * x * x - 1) / 2,
                                    std::sqrt(15.0) / 2 * x * s,
                                    std::sqrt(15.0) / 4 * s * s};
        int index = 0;
        for (unsigned l = 0; l <= 2; ++l) {
            for (unsigned m = 0; m <= l; ++m) {
                EXPECT_NEAR(evaluator.legendre(l, m), expected[index++], tolerance<Real>())
                    << "l=" << l << " m=" << m << " phi=" << phi;
            }
        }
    }
}

// The constant polynomial of each order does not depend on x.
TYPED_TEST(PointTables, FirstJacobiColumnIsIndependentOfPhi) {
    using Real = TypeParam;
    PointSPHEvaluator<Real> evaluator(2);
    evaluator.compute(Real(0.3), Real(0));
    const Real first1 = evaluator.jacobi(1, 0);
    const Real first2 = evaluator.jacobi(2, 0);
    EXPECT_NEAR(first1, std::sqrt(3.0) / 2, tolerance<Real>());
    EXPECT_NEAR(first2, std::sqrt(15.0) / 4, tolerance<Real>());
    evaluator.compute(Real(2.9), Real(1));
    EXPECT_TRUE(sameBits(evaluator.jacobi(1, 0), first1));
    EXPECT_TRUE(sameBits(evaluator.jacobi(2, 0), first2));
}

TYPED_TEST(PointTables, NorthPoleKeepsOnlyTheZonalEntries) {
    using Real = TypeParam;
    const unsigned lmax = 12;
    PointSPHEvaluator<Real> evaluator(lmax);
    evaluator.compute(Real(0), Real(0.7));
    EXPECT_EQ(evaluator.sinPower(0), Real(1));
    for (unsigned k = 1; k <= lmax; ++k) {
        EXPECT_EQ(evaluator.sinPower(k), Real(0));
    }
    for (unsigned l = 0; l <= lmax; ++l) {
        EXPECT_NEAR(evaluator.legendre(l, 0), std::sqrt((2 * l + 1) / 2.0), 8 * tolerance<Real>())
            << l;
        for (unsigned m = 1; m <= l; ++m) {
            EXPECT_EQ(evaluator.legendre(l, m), Real(0));
        }
    }
}

TYPED_TEST(PointTables, ZeroPhaseSkipsTheTrigonometryAndKeepsTheSignOfZero) {
    using Real = TypeParam;
    const unsigned lmax = 4;
    PointSPHEvaluator<Real> evaluator(lmax);
    EXPECT_TRUE(sameBits(evaluator.expNegTheta(), std::complex<Real>(0, 0)));
    for (unsigned m = 0; m <= lmax; ++m) {
        EXPECT_TRUE(sameBits(evaluator.thetaHarmonic(m), std::complex<Real>(0, 0)));
    }

    evaluator.compute(Real(1), Real(0));
    for (unsigned m = 0; m <= lmax; ++m) {
        EXPECT_TRUE(sameBits(evaluator.thetaHarmonic(m), std::complex<Real>(1, 0))) << m;
    }
    EXPECT_TRUE(sameBits(evaluator.expNegTheta(), std::complex<Real>(1, -Real(0))));

    evaluator.compute(Real(1), -Real(0));
    for (unsigned m = 0; m <= lmax; ++m) {
        EXPECT_TRUE(sameBits(evaluator.thetaHarmonic(m), std::complex<Real>(1, -Real(0)))) << m;
    }
    EXPECT_TRUE(sameBits(evaluator.expNegTheta(), std::complex<Real>(1, 0)));

    evaluator.compute(Real(1), Real(-0.5));
    EXPECT_TRUE(sameBits(evaluator.thetaHarmonic(0), std::complex<Real>(1, -Real(0))));
    EXPECT_NEAR(evaluator.thetaHarmonic(3).imag(), std::sin(-1.5), tolerance<Real>());
    EXPECT_NEAR(evaluator.expNegTheta().imag(), std::sin(0.5), tolerance<Real>());
}

TYPED_TEST(PointTables, NaNAzimuthPoisonsEveryPhaseFactor) {
    using Real = TypeParam;
    PointSPHEvaluator<Real> evaluator(3);
    evaluator.compute(Real(1), std::numeric_limits<Real>::quiet_NaN());
    for (unsigned m = 0; m <= 3; ++m) {
        EXPECT_TRUE(std::isnan(evaluator.thetaHarmonic(m).real())) << m;
        EXPECT_TRUE(std::isnan(evaluator.thetaHarmonic(m).imag())) << m;
    }
    EXPECT_TRUE(std::isnan(evaluator.expNegTheta().imag()));
}

// Every table of a point is rewritten: nothing leaks from the point before.
TYPED_TEST(PointTables, ReusedEvaluatorEqualsAFreshOne) {
    using Real = TypeParam;
    const unsigned lmax = 9;
    PointSPHEvaluator<Real> reused(lmax);
    reused.compute(Real(0.4), Real(5.5));
    reused.compute(Real(2.2), Real(-1.3));
    PointSPHEvaluator<Real> fresh(lmax);
    fresh.compute(Real(2.2), Real(-1.3));
    for (unsigned m = 0; m <= lmax; ++m) {
        EXPECT_TRUE(sameBits(reused.sinPower(m), fresh.sinPower(m)));
        EXPECT_TRUE(sameBits(reused.thetaHarmonic(m), fresh.thetaHarmonic(m)));
        for (unsigned k = 0; k <= lmax; ++k) {
            EXPECT_TRUE(sameBits(reused.jacobi(m, k), fresh.jacobi(m, k)));
        }
    }
    for (unsigned l = 0; l <= lmax; ++l) {
        for (unsigned m = 0; m <= l; ++m) {
            EXPECT_TRUE(sameBits(reused.legendre(l, m), fresh.legendre(l, m)));
        }
    }
    EXPECT_TRUE(sameBits(reused.expNegTheta(), fresh.expNegTheta()));
    EXPECT_TRUE(sameBits(reused.cosPhi(), fresh.cosPhi()));
    EXPECT_TRUE(sameBits(reused.sinPhi(), fresh.sinPhi()));
}

// Beyond the unit interval the same steps run; odd orders follow the sign of sin(phi).
TYPED_TEST(PointTables, NegativePolarAngleFlipsOddOrders) {
    using Real = TypeParam;
    PointSPHEvaluator<Real> positive(5);
    PointSPHEvaluator<Real> negative(5);
    positive.compute(Real(0.8), Real(0));
    negative.compute(Real(-0.8), Real(0));
    for (unsigned l = 0; l <= 5; ++l) {
        for (unsigned m = 0; m <= l; ++m) {
            const Real sign = m % 2 == 1 ? Real(-1) : Real(1);
            EXPECT_TRUE(sameBits(negative.legendre(l, m), sign * positive.legendre(l, m)))
                << l << ' ' << m;
        }
    }
}

}  // namespace
}  // namespace kelo::testing
