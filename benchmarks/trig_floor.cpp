// The trigonometry kelo cannot avoid, made with the C library's functions that
// its bits depend on: per point sin and cos of phi, cos(theta) and sin(-theta),
// and cos(m theta), sin(m theta) for m = 1..lmax.
//
// usage: trig_floor float32|float64 LMAX POINTS RUNS
// prints the median nanoseconds per point over RUNS passes.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

template <typename Real>
double nanosecondsPerPoint(unsigned lmax, std::size_t points, int runs) {
    std::mt19937_64 generator(20261209);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Real> phi(points);
    std::vector<Real> theta(points);
    for (std::size_t p = 0; p < points; ++p) {
        phi[p] = static_cast<Real>(unit(generator) * 3.141592653589793);
        theta[p] = static_cast<Real>(unit(generator) * 6.283185307179586);
    }
    std::vector<Real> cosM(lmax + 1);
    std::vector<Real> sinM(lmax + 1);
    std::vector<double> times;
    volatile Real sink = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        Real sum = 0;
        for (std::size_t p = 0; p < points; ++p) {
            sum += std::sin(phi[p]) + std::cos(phi[p]) + std::cos(theta[p]) + std::sin(-theta[p]);
            for (unsigned m = 1; m <= lmax; ++m) {
                cosM[m] = std::cos(static_cast<Real>(m) * theta[p]);
                sinM[m] = std::sin(static_cast<Real>(m) * theta[p]);
            }
            sum += cosM[lmax] + sinM[lmax];
        }
        sink = sum;
        times.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2] / static_cast<double>(points);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s float32|float64 LMAX POINTS RUNS\n", argv[0]);
        return 2;
    }
    const bool single = std::strcmp(argv[1], "float32") == 0;
    const unsigned lmax = static_cast<unsigned>(std::atoi(argv[2]));
    const std::size_t points = static_cast<std::size_t>(std::atoll(argv[3]));
    const int runs = std::max(1, std::atoi(argv[4]));
    std::printf("%.3f\n", single ? nanosecondsPerPoint<float>(lmax, points, runs)
                                 : nanosecondsPerPoint<double>(lmax, points, runs));
}
