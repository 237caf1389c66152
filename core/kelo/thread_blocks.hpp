#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kelo::detail {

/**
 * What starting and joining a thread costs, counted in output values: some
 * ten microseconds, twice that on a busy machine, the time of some 8000 values.
 */
constexpr std::size_t kThreadStartWork = std::size_t{1} << 13;

/**
 * How many blocks, one per thread, to split the points into.
 *
 * The calling thread prepares and starts the threads one after another, each
 * for `setup` + kThreadStartWork; then they share `work`. With a core for
 * each of B threads the call takes about B (setup + start) + work / B, least
 * for B = sqrt(work / (setup + start)). With fewer cores the threads only
 * cost their B (setup + start), which work / 10 bounds: many threads are then
 * never much slower than one. Every thread also needs a whole group of points
 * to itself. Tables that all threads share are built once whatever B is, so
 * they do not enter.
 *
 * @param threads the most threads to use, the calling one included; 0 counts as 1
 * @param groups the groups of points, which a block never splits
 * @param work the output values of the whole call
 * @param setup the work of preparing one thread's state, in output values
 */
inline std::size_t blockCount(unsigned int threads, std::size_t groups, std::size_t work,
                              std::size_t setup) {
    const double perThread = static_cast<double>(setup + kThreadStartWork);
    const double worthwhile = std::min(std::sqrt(static_cast<double>(work) / perThread),
                                       static_cast<double>(work) / (10 * perThread));
    const std::size_t blocks =
        std::min({std::size_t{threads}, groups, static_cast<std::size_t>(worthwhile)});
    return std::max<std::size_t>(1, blocks);
}

/**
 * Splits the points 0..N-1 into at most `blocks` contiguous blocks of whole
 * groups of groupSize points, as even as can be, and runs
 * writeBlock(state, first, last) for each, on a thread of its own with a
 * state of its own from makeState().
 *
 * Every state is made before any thread starts, so a failure to allocate
 * throws before anything is written, and writeBlock must not allocate. A
 * thread that cannot be started leaves its block to the calling thread, which
 * always writes the last block itself.
 */
template <typename MakeState, typename WriteBlock>
void forEachBlock(std::size_t N, std::size_t groupSize, std::size_t blocks, MakeState makeState,
                  WriteBlock writeBlock) {
    using State = decltype(makeState());
    const std::size_t groups = (N + groupSize - 1) / groupSize;
    blocks = std::max<std::size_t>(1, std::min(blocks, groups));
    std::vector<State> states;
    states.reserve(blocks);
    while (states.size() < blocks) {
        states.push_back(makeState());
    }

    std::vector<std::thread> workers;
    workers.reserve(blocks - 1);
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t first = groups * block / blocks * groupSize;
        const std::size_t last = std::min(N, groups * (block + 1) / blocks * groupSize);
        State& state = states[block];
        if (block + 1 < blocks) {
            try {
                workers.emplace_back(
                    [&writeBlock, &state, first, last] { writeBlock(state, first, last); });
                continue;
            } catch (const std::system_error&) {
                // No thread to spare: this one writes the block.
            } catch (const std::bad_alloc&) {
                // Nor memory to start one.
            }
        }
        writeBlock(state, first, last);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

}  // namespace kelo::detail
