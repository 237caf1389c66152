// Output positions past 2^32: the batch functions count them in size_t.
//
// Showing it takes a call that writes more than 2^32 values, 32 GiB of
// complex<float>: more than this machine's memory. So the output buffers here
// repeat one small window of shared memory over their head; the core still
// writes every value at its own address, but only the window and the tail are
// backed by memory. The tail, which crosses position 2^32, is private memory
// and must hold, bit for bit, what the same points give when evaluated on
// their own. A position counter that wrapped would leave the tail untouched or
// write out of place there; one that ran past either end hits a guard page.
//
// Writing 2^32 values takes half a minute, so this suite is left out of `make test`;
// `make test-positions` and CI run it.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "support.hpp"

namespace kelo::testing {
namespace {

constexpr std::size_t kWindowBytes = std::size_t(1) << 25;  // 32 MiB, a multiple of any page size
constexpr unsigned kLmax = 255;                            // 65536 harmonics per point
constexpr std::size_t kCount = 65536;
constexpr std::size_t k2To32 = std::size_t(1) << 32;
constexpr unsigned kPoints = k2To32 / kCount + 1;  // 2^32 + 65536 harmonics in all

void* mapOrThrow(void* address, std::size_t bytes, int protection, int flags, int fd) {
    void* mapped = mmap(address, bytes, protection, flags, fd, 0);
    if (mapped == MAP_FAILED) {
        throw std::system_error(errno, std::generic_category(), "mmap");
    }
    return mapped;
}

/** One window of shared memory, to be mapped many times over. */
class Window {
public:
    Window() : m_fd(memfd_create("kelo-positions", 0)) {
        if (m_fd < 0 || ftruncate(m_fd, kWindowBytes) != 0) {
            throw std::system_error(errno, std::generic_category(), "memfd");
        }
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    ~Window() { close(m_fd); }

    int fd() const { return m_fd; }

private:
    int m_fd;
};

/**
 * `length` values whose head, the values before `tailStart`, repeats the window
 * and whose tail is private memory filled with a NaN sentinel. A guard page
 * that may not be touched lies on either side.
 */
template <typename T>
class AliasedBuffer {
public:
    AliasedBuffer(const Window& window, std::size_t length, std::size_t tailStart)
        : m_length(length), m_tailStart(tailStart) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t headBytes = tailStart * sizeof(T);
        const std::size_t bytes = (length * sizeof(T) + page - 1) / page * page;
        if (headBytes % kWindowBytes != 0 || tailStart > length) {
            throw std::invalid_argument("the head must be whole windows");
        }
        m_reservedBytes = bytes + 2 * page;
        m_reserved = mapOrThrow(nullptr, m_reservedBytes, PROT_NONE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1);
        char* data = static_cast<char*>(m_reserved) + page;
        for (std::size_t offset = 0; offset < headBytes; offset += kWindowBytes) {
            // Populated up front: faulting in billions of pages one by one is slower.
            mapOrThrow(data + offset, kWindowBytes, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_FIXED | MAP_POPULATE, window.fd());
        }
        mapOrThrow(data + headBytes, bytes - headBytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1);
        m_data = reinterpret_cast<T*>(data);
        const float sentinel = std::numeric_limits<float>::quiet_NaN();
        std::fill(reinterpret_cast<float*>(m_data + tailStart),
                  reinterpret_cast<float*>(m_data + length), sentinel);
    }
    AliasedBuffer(const AliasedBuffer&) = delete;
    AliasedBuffer& operator=(const AliasedBuffer&) = delete;
    ~AliasedBuffer() { munmap(m_reserved, m_reservedBytes); }

    T* data() const { return m_data; }

    /** Index of the first value that differs from `expected`, which starts at `first`. */
    std::size_t firstMismatch(const std::vector<T>& expected, std::size_t first) const {
        for (std::size_t i = m_tailStart; i < m_length; ++i) {
            if (!sameBits(m_data[i], expected[i - first])) {
                return i;
            }
        }
        return m_length;
    }

private:
    std::size_t m_length;
    std::size_t m_tailStart;
    std::size_t m_reservedBytes;
    void* m_reserved;
    T* m_data;
};

/** Distinct angles, away from the poles so that degree 255 stays finite in float. */
struct Points {
    std::vector<float> phi;
    std::vector<float> theta;

    Points() {
        for (unsigned p = 0; p < kPoints; ++p) {
            phi.push_back(1.0f + static_cast<float>(p) * 0x1p-17f);
            theta.push_back(static_cast<float>(p) * 0x1p-15f);
        }
    }
};

// The tail starts one window before position 2^32 and runs to the end.
constexpr std::size_t kTailStart = k2To32 - kWindowBytes / sizeof(std::complex<float>);
constexpr unsigned kFirstTailPoint = kTailStart / kCount;

TEST(Positions, HarmonicsPast2To32LandInPlace) {
    const Points points;
    const Window window;
    AliasedBuffer<std::complex<float>> output(window, kPoints * kCount, kTailStart);
    evaluate_SPH<float>(output.data(), kLmax, points.phi.data(), points.theta.data(), kPoints, true);

    std::vector<std::complex<float>> expected((kPoints - kFirstTailPoint) * kCount);
    evaluate_SPH<float>(expected.data(), kLmax, &points.phi[kFirstTailPoint],
                        &points.theta[kFirstTailPoint], kPoints - kFirstTailPoint, true);
    EXPECT_EQ(output.firstMismatch(expected, kFirstTailPoint * kCount), kPoints * kCount)
        << "the first value out of place";
}

TEST(Positions, GradientsAndHarmonicsPast2To32LandInPlace) {
    const Points points;
    const Window window;
    AliasedBuffer<std::complex<float>> harmonics(window, kPoints * kCount, kTailStart);
    AliasedBuffer<std::complex<float>> gradients(window, 2 * kPoints * kCount, 2 * kTailStart);
    evaluate_SPH_with_grads<float>(gradients.data(), harmonics.data(), kLmax, points.phi.data(),
                                   points.theta.data(), kPoints, true);

    const unsigned tailPoints = kPoints - kFirstTailPoint;
    std::vector<std::complex<float>> expectedHarmonics(tailPoints * kCount);
    std::vector<std::complex<float>> expectedGradients(2 * tailPoints * kCount);
    evaluate_SPH_with_grads<float>(expectedGradients.data(), expectedHarmonics.data(), kLmax,
                                   &points.phi[kFirstTailPoint], &points.theta[kFirstTailPoint],
                                   tailPoints, true);
    EXPECT_EQ(harmonics.firstMismatch(expectedHarmonics, kFirstTailPoint * kCount),
              kPoints * kCount)
        << "the first harmonic out of place";
    EXPECT_EQ(gradients.firstMismatch(expectedGradients, 2 * kFirstTailPoint * kCount),
              2 * kPoints * kCount)
        << "the first gradient out of place";
}

}  // namespace
}  // namespace kelo::testing
