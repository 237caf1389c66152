#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kelo/cache_lines.hpp"
#include "kelo/lanes.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelo::detail {

/**
 * Output larger than this goes to memory with non-temporal stores: it would
 * not stay in the caches anyway, and whole lines written that way are not
 * read from memory first.
 */
constexpr std::size_t kStreamingBytes = std::size_t{8} << 20;

/** The most bytes of rows a kernel stages in one piece before streaming them. */
constexpr std::size_t kStagedRowBytes = std::size_t{1} << 20;

/**
 * Whether `bytes` of output at out are worth streaming: more than
 * kStreamingBytes, in memory already. The system zeroes a page that a call
 * touches first into the caches, where ordinary stores find it; a streamed
 * store would first have to write those zeros back. The first and the last
 * page stand for the rest: a result just allocated has neither.
 */
inline bool worthStreaming(const void* out, std::size_t bytes) {
    if (out == nullptr || bytes < kStreamingBytes) {
        return false;
    }
#if defined(__linux__)
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto resident = [page](std::uintptr_t address) {
        unsigned char state = 0;
        return mincore(reinterpret_cast<void*>(address / page * page), 1, &state) == 0 && (state & 1) != 0;
    };
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(out);
    return resident(first) && resident(first + bytes - 1);
#else
    return false;
#endif
}

/**
 * The consecutive rows of a group of points, written in a buffer laid out
 * as the output (the same place within a cache line) and copied from there
 * with non-temporal stores: whole cache lines, and the parts of the lines at
 * either end that neighbouring groups share (streamPart). Written directly,
 * every line of the output would be read from memory before it is written.
 *
 * Lines go out a few at a time between the steps of the arithmetic
 * (sendSome), once they are final (markWritten): a burst of them would fill
 * the store buffer and stop the arithmetic until memory took them; a few at
 * a time leave it room to go on.
 *
 * A block of groups ends with fence(), which orders the streamed stores
 * before any that follow.
 */
template <typename Real>
class alignas(kInterferenceSize) StreamedRows {  // its counters change with every line sent
public:
    static constexpr std::size_t kLineBytes = 64;
    static constexpr std::size_t kPieceBytes = 16;  // of a non-temporal store

    /**
     * Room for up to `rows` rows of up to `rowReals` Reals each; none, and
     * streaming off, for 0 Reals.
     * @throws std::bad_alloc if the buffer cannot be allocated
     */
    StreamedRows(std::size_t rows, std::size_t rowReals)
        : m_buffer(rows * rowReals == 0 ? 0 : rows * rowReals + 2 * kLineBytes / sizeof(Real)),
          m_sent(rows) {}

    bool enabled() const { return !m_buffer.empty(); }

    /**
     * Starts a group of `rows` rows of `rowReals` Reals bound for out, and
     * returns where to write them.
     */
    Real* begin(Real* out, std::size_t rows, std::size_t rowReals) {
        char* buffer = reinterpret_cast<char*>(m_buffer.data());
        m_from = buffer + (kLineBytes - lineOffset(buffer)) % kLineBytes + lineOffset(out);
        m_to = reinterpret_cast<char*>(out);
        m_rows = rows;
        m_rowBytes = rowReals * sizeof(Real);
        for (std::size_t j = 0; j < rows; ++j) {
            m_sent[j] = lineAfter(j * m_rowBytes);
        }
        m_writtenBytes = 0;
        m_row = rows;
        m_run = m_runEnd = 0;
        return reinterpret_cast<Real*>(m_from);
    }

    /** The first `reals` Reals of each row are final: their whole lines may be sent. */
    void markWritten(std::size_t reals) {
        recordRun();
        m_writtenBytes = reals * sizeof(Real);
        m_row = 0;
        startRun();
    }

    /** Sends up to `lines` whole lines that are final, row after row. */
    KELO_LANE_INLINE void sendSome(std::size_t lines) {
        // In locals: the streamed stores may alias the members.
        const char* const from = m_from;
        char* const to = m_to;
        std::size_t run = m_run;
        std::size_t end = m_runEnd;
        while (lines > 0) {
            if (run == end) {
                m_run = run;
                if (!nextRun()) {
                    return;
                }
                run = m_run;
                end = m_runEnd;
            }
            streamLine(to + run, from + run);
            run += kLineBytes;
            --lines;
        }
        m_run = run;
    }

    /** Sends the rest of the group, which is final. */
    void finish() {
        recordRun();
        const std::size_t bytes = m_rows * m_rowBytes;
        std::size_t line = std::min(lineAfter(0), bytes);
        streamPart(m_to, m_from, line);
        for (std::size_t j = 0; j < m_rows; ++j) {
            // The lines that start in row j after those sent, the last one maybe spilling into the next rows.
            for (line = std::max(line, m_sent[j]); line + kLineBytes <= bytes && line < (j + 1) * m_rowBytes;
                 line += kLineBytes) {
                streamLine(line);
            }
        }
        streamPart(m_to + line, m_from + line, bytes - line);
    }

    /** Orders the streamed stores before any later store: the end of a block of groups. */
    static void fence() {
#if defined(__SSE2__)
        _mm_sfence();
#endif
    }

private:
    static std::size_t lineOffset(const void* address) {
        return reinterpret_cast<std::uintptr_t>(address) % kLineBytes;
    }

    /** The first offset from m_to at or after `offset` that starts a cache line of the output. */
    std::size_t lineAfter(std::size_t offset) const {
        return offset + (kLineBytes - lineOffset(m_to + offset)) % kLineBytes;
    }

    /** The lines of row m_row not sent yet that are final: [m_run, m_runEnd). */
    void startRun() {
        if (m_row < m_rows) {
            m_run = m_sent[m_row];
            const std::size_t written = m_row * m_rowBytes + m_writtenBytes;
            m_runEnd = written < m_run ? m_run : m_run + (written - m_run) / kLineBytes * kLineBytes;
        }
    }

    /** Records what was sent of row m_row. */
    void recordRun() {
        if (m_row < m_rows) {
            m_sent[m_row] = m_run;
        }
    }

    /** Records the run of row m_row and starts that of the next row with lines to send, if any. */
    bool nextRun() {
        while (m_row < m_rows) {
            recordRun();
            ++m_row;
            startRun();
            if (m_row < m_rows && m_run != m_runEnd) {
                return true;
            }
        }
        return false;
    }

    void streamLine(std::size_t offset) { streamLine(m_to + offset, m_from + offset); }

    /**
     * Copies part of a line that the neighbouring group writes the rest of:
     * its whole 16-byte pieces with non-temporal stores, which write just
     * their bytes, and the bytes around them with ordinary ones. An ordinary
     * store would first read the line from memory, and every store after it
     * would wait.
     */
    static void streamPart(char* to, const char* from, std::size_t bytes) {
        std::size_t part = 0;
#if defined(__SSE2__)
        part = std::min(bytes, (kPieceBytes - reinterpret_cast<std::uintptr_t>(to) % kPieceBytes) % kPieceBytes);
        std::memcpy(to, from, part);
        for (; part + kPieceBytes <= bytes; part += kPieceBytes) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + part),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(from + part)));
        }
#endif
        std::memcpy(to + part, from + part, bytes - part);
    }

    static void streamLine(char* to, const char* from) {
#if defined(__SSE2__)
        for (std::size_t part = 0; part < kLineBytes; part += kPieceBytes) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + part),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(from + part)));
        }
#else
        std::memcpy(to, from, kLineBytes);
#endif
    }

    CacheLineVector<Real> m_buffer;
    CacheLineVector<std::size_t> m_sent;  // per row: the end of the lines streamed, from its first line on
    char* m_from = nullptr;
    char* m_to = nullptr;
    std::size_t m_rows = 0;
    std::size_t m_rowBytes = 0;
    std::size_t m_writtenBytes = 0;  // of each row, final
    std::size_t m_row = 0;           // the row whose lines are being sent
    std::size_t m_run = 0;           // its next line to send
    std::size_t m_runEnd = 0;        // and the end of its final lines
};

}  // namespace kelo::detail
