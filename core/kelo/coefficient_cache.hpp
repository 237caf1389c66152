#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <tuple>

#include "kelo/conventions.hpp"
#include "kelo/series_coefficients.hpp"

namespace kelo::detail {

/** The highest degree whose coefficients sharedCoefficients keeps: some 330 KB in double. */
constexpr unsigned int kCachedLmax = 128;

/** How many sets of coefficients sharedCoefficients keeps. */
constexpr std::size_t kCachedCoefficientSets = 8;

/**
 * The SeriesCoefficients of a call, kept from an earlier call with the same
 * parameters if one was made recently. Building them takes O(lmax^2) square
 * roots and divisions, 7 us at lmax 32 and 28 us at lmax 64: as long as
 * evaluating a few points, which is all that many calls ask for.
 *
 * The last kCachedCoefficientSets sets of degrees up to kCachedLmax are
 * kept, the least recently used going first. Any thread may call this; a set
 * is built outside the lock, so two threads may build the same one at once,
 * and the first to keep it gives it to both.
 *
 * @throws as SeriesCoefficients
 */
template <typename Real>
std::shared_ptr<const SeriesCoefficients<Real>> sharedCoefficients(unsigned int lmax, bool gradients,
                                                                   Convention convention = {},
                                                                   Output output = Output::complex) {
    using Coefficients = SeriesCoefficients<Real>;
    if (lmax > kCachedLmax) {
        return std::make_shared<const Coefficients>(lmax, gradients, convention, output);
    }
    using Key = std::tuple<unsigned int, bool, Normalization, bool, Output>;
    struct Entry {
        Key key;
        std::shared_ptr<const Coefficients> coefficients;
    };
    static std::mutex mutex;
    static std::array<Entry, kCachedCoefficientSets> entries;  // the most recently used first

    const Key key{lmax, gradients, convention.normalization, convention.condon_shortley, output};
    // Moves the entry at `found` to the front, the ones before it back by one.
    const auto use = [](auto found) {
        std::rotate(entries.begin(), found, std::next(found));
        return entries.front().coefficients;
    };
    const auto find = [&key] {
        return std::find_if(entries.begin(), entries.end(), [&key](const Entry& entry) {
            return entry.coefficients != nullptr && entry.key == key;
        });
    };
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (const auto found = find(); found != entries.end()) {
            return use(found);
        }
    }
    auto built = std::make_shared<const Coefficients>(lmax, gradients, convention, output);
    const std::lock_guard<std::mutex> lock(mutex);
    // Another thread may have kept the same set meanwhile: one slot holds it.
    if (const auto found = find(); found != entries.end()) {
        return use(found);
    }
    entries.back() = {key, built};
    return use(std::prev(entries.end()));
}

}  // namespace kelo::detail
