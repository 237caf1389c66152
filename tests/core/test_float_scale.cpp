// A float's Legendre factor is scaled by a multiplication by kInverseSqrt2Pi
// in double, where the definition divides by kSqrt2Pi in double. Rounded to
// float, the two must agree in every bit, and this suite tries all 2^32 floats,
// NaNs included, through the scalar function and through the vector lanes.
//
// That takes several seconds of one core, and far longer under valgrind, so this
// suite is left out of `make test`; `make test-float-scale` and CI run it.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelo::testing {
namespace {

using Lanes = detail::Lanes<float>;

constexpr std::uint64_t kFloats = std::uint64_t(1) << 32;
constexpr std::uint32_t kBlock = 1u << 16;  // bit patterns per block, a multiple of Lanes::count

/** The definition: widened to double, divided by sqrt(2 pi), rounded once to float. */
float dividedBySqrt2Pi(float legendre) {
    return static_cast<float>(static_cast<double>(legendre) / kSqrt2Pi);
}

/**
 * Scales every float by `scale`, a block of bit patterns at a time, and describes
 * the first whose result differs in any bit from the definition's, or returns "".
 */
template <typename Scale>
std::string firstDifference(Scale scale) {
    std::vector<float> inputs(kBlock), scaled(kBlock), expected(kBlock);
    for (std::uint64_t first = 0; first < kFloats; first += kBlock) {
        for (std::uint32_t i = 0; i < kBlock; ++i) {
            const auto pattern = static_cast<std::uint32_t>(first + i);
            std::memcpy(&inputs[i], &pattern, sizeof pattern);
            expected[i] = dividedBySqrt2Pi(inputs[i]);
        }
        scale(inputs.data(), scaled.data());
        for (std::uint32_t i = 0; i < kBlock; ++i) {
            if (!sameBits(scaled[i], expected[i])) {
                char description[128];
                std::snprintf(description, sizeof description, "%a (bits 0x%08x) gives %a instead of %a",
                              inputs[i], static_cast<unsigned>(first + i), scaled[i], expected[i]);
                return description;
            }
        }
    }
    return "";
}

TEST(FloatScale, ScalarMatchesDivisionForEveryFloat) {
    const auto scalar = [](const float* inputs, float* scaled) {
        for (std::uint32_t i = 0; i < kBlock; ++i) {
            scaled[i] = scaleBySqrt2Pi(inputs[i]);
        }
    };
    EXPECT_EQ(firstDifference(scalar), "");
}

TEST(FloatScale, LanesMatchDivisionForEveryFloat) {
    const auto lanes = [](const float* inputs, float* scaled) {
        for (std::uint32_t i = 0; i < kBlock; i += Lanes::count) {
            Lanes::store(scaled + i, Lanes::scaleBySqrt2Pi(Lanes::load(inputs + i)));
        }
    };
    EXPECT_EQ(firstDifference(lanes), "");
}

}  // namespace
}  // namespace kelo::testing
