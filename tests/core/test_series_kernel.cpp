// The batch functions write whole degrees at a time; the iterator defines every
// bit they must write, at ordinary points and at those that need the pole
// limit or the infinity recovery of complex products.

#include <cmath>
#include <limits>
#include <random>

#include "support.hpp"

namespace kelo::testing {
namespace {

template <typename Real>
class SeriesKernel : public ::testing::Test {};
TYPED_TEST_SUITE(SeriesKernel, Precisions);

/** Random points, then every kind of point that leaves the ordinary path. */
template <typename Real>
std::vector<std::pair<Real, Real>> hostilePoints() {
    const Real inf = std::numeric_limits<Real>::infinity();
    const Real nan = std::numeric_limits<Real>::quiet_NaN();
    const Real tiny = std::numeric_limits<Real>::denorm_min();
    // Subnormal, yet 1 / sin(phi) overflows while Y_l^1 stays non-zero.
    const Real subnormal = std::numeric_limits<Real>::min() / 8;
    const Real pi = static_cast<Real>(kPi);
    auto points = randomPoints<Real>(40, 11);
    const std::pair<Real, Real> special[] = {
        {Real(0), Real(1)},     {pi, Real(2)},         {-Real(0), Real(0)},  {Real(1), -Real(0)},
        {tiny, Real(3)},        {subnormal, Real(3)},        {Real(1e-30), Real(5)}, {Real(1e4), Real(-7)}, {Real(2), Real(1e4)},
        {nan, Real(1)},         {Real(1), nan},        {inf, Real(1)},       {Real(0.5), -inf},
        {Real(1e-3), Real(0)},  {Real(3.14), Real(1.5)},
        // Near the poles the float products of some orders round to subnormals.
        {Real(0.02), Real(0.7)}, {pi - Real(0.004), Real(2.2)}, {Real(1e-5), Real(4.1)}};
    points.insert(points.end(), std::begin(special), std::end(special));
    return points;
}

/** Same bits, except that NaN signs and payloads are not promised: NaN matches NaN. */
template <typename Real>
bool samePart(Real actual, Real expected) {
    return std::isnan(expected) ? std::isnan(actual) : sameBits(actual, expected);
}

template <typename Real>
void expectSameBits(const std::vector<std::complex<Real>>& actual,
                    const std::vector<std::complex<Real>>& expected, const char* what) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k) {
        ASSERT_TRUE(samePart(actual[k].real(), expected[k].real()) &&
                    samePart(actual[k].imag(), expected[k].imag()))
            << what << " at " << k << ": " << actual[k] << " vs " << expected[k];
    }
}

template <typename Real>
void expectBatchesMatchTheIterator(const std::vector<std::pair<Real, Real>>& points, unsigned lmax,
                                   bool negative_m) {
    SCOPED_TRACE(::testing::Message() << "lmax " << lmax << ", negative_m " << negative_m);
    std::vector<Real> phi;
    std::vector<Real> theta;
    for (const auto& [p, t] : points) {
        phi.push_back(p);
        theta.push_back(t);
    }
    const unsigned n = static_cast<unsigned>(points.size());
    PointSPHEvaluator<Real> evaluator(lmax);
    std::vector<std::complex<Real>> values;
    std::vector<std::complex<Real>> gradients;
    for (unsigned p = 0; p < n; ++p) {
        evaluator.compute(phi[p], theta[p]);
        for (auto it = evaluator.begin(negative_m); it != evaluator.end(negative_m); ++it) {
            values.push_back(*it);
            gradients.push_back(it.grad_phi());
            gradients.push_back(multiply(std::complex<Real>(Real(0), static_cast<Real>(it.m())), *it));
        }
    }

    std::vector<std::complex<Real>> batchValues(values.size());
    evaluate_SPH<Real>(batchValues.data(), lmax, phi.data(), theta.data(), n, negative_m);
    expectSameBits(batchValues, values, "values");

    std::vector<std::complex<Real>> batchGradients(gradients.size());
    std::vector<std::complex<Real>> gradientValues(values.size());
    evaluate_SPH_with_grads<Real>(batchGradients.data(), gradientValues.data(), lmax, phi.data(),
                                  theta.data(), n, negative_m);
    expectSameBits(batchGradients, gradients, "gradients");
    expectSameBits(gradientValues, values, "values beside gradients");

    std::fill(batchGradients.begin(), batchGradients.end(), std::complex<Real>());
    evaluate_SPH_with_grads<Real>(batchGradients.data(), nullptr, lmax, phi.data(), theta.data(), n,
                                  negative_m);
    expectSameBits(batchGradients, gradients, "gradients alone");

    std::fill(gradientValues.begin(), gradientValues.end(), std::complex<Real>());
    evaluate_SPH_with_grads<Real>(nullptr, gradientValues.data(), lmax, phi.data(), theta.data(), n,
                                  negative_m);
    expectSameBits(gradientValues, values, "values without gradients");
}

TYPED_TEST(SeriesKernel, BatchesWriteWhatTheIteratorDefines) {
    for (const unsigned lmax : {0u, 1u, 7u, 40u}) {
        for (const bool negative_m : {true, false}) {
            expectBatchesMatchTheIterator(hostilePoints<TypeParam>(), lmax, negative_m);
        }
    }
}

// At degree 600 the float polynomials overflow near the pole; with theta = 0
// the harmonics are (inf, NaN) and the gradients' products need the recovery.
TEST(SeriesKernel, OverflowingFloatProductsTakeTheRecoveredValues) {
    const std::vector<std::pair<float, float>> points = {{0.0184f, 0.0f}, {0.0185f, 1.5707964f}};
    for (const bool negative_m : {true, false}) {
        expectBatchesMatchTheIterator(points, 600, negative_m);
    }
}

// Products of floats near and below the normal range, formed in double and
// rounded once, have the bits of the float products.
TEST(SeriesKernel, FloatProductsFormedInDoubleKeepTheirBits) {
    using L = detail::Lanes<float>;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> exponent(-80, 0);
    std::uniform_real_distribution<float> significand(-2, 2);
    for (int trial = 0; trial < 100000; ++trial) {
        float x[L::count];
        float y[L::count];
        for (std::size_t j = 0; j < L::count; ++j) {
            const float e = exponent(random);
            x[j] = std::ldexp(significand(random), static_cast<int>(e));
            y[j] = std::ldexp(significand(random), static_cast<int>(-150 - e + 30 * significand(random)));
        }
        float product[L::count];
        L::store(product, L::productInDouble(L::load(x), L::load(y)));
        for (std::size_t j = 0; j < L::count; ++j) {
            ASSERT_TRUE(sameBits(product[j], x[j] * y[j])) << x[j] << " * " << y[j];
        }
    }
}

}  // namespace
}  // namespace kelo::testing
