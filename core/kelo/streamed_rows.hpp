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
 * The lines that a degree makes final go out together (markWritten). Where
 * a stage can stream its blocks (Lanes::streamsBlocks) and the rows lie
 * apart, it streams most of each degree to the output itself
 * (ColumnStage::streamTo) and writes only the edges to the buffer: the part
 * of a line that the buffer holds goes out just before the stage streams the
 * rest of it (sendCarried), and the lines that the stage left unfinished
 * just after, so that no line stays partly written for long. A line that
 * does leaves the write-combining buffers piece by piece.
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
        m_carriedSent = false;
        m_direct = Lanes<Real>::streamsBlocks && lineOffset(out) % kPieceBytes == 0 && m_rowBytes % kPieceBytes == 0 &&
                   rowsApartInPages();
        return reinterpret_cast<Real*>(m_from);
    }

    /** Whether the stage may stream most of each degree to the output itself (ColumnStage::streamTo). */
    bool streamsDirectly() const { return m_direct; }

    /**
     * Sends the part of a line that the buffer holds at the end of each row's
     * final columns, before the stage streams the rest of that line.
     */
    KELO_LANE_INLINE void sendCarried() {
        for (std::size_t j = 0; j < m_rows; ++j) {
            sendPieces(m_sent[j], j * m_rowBytes + m_writtenBytes);
        }
        m_carriedSent = true;
    }

    /**
     * The first `reals` Reals of each row are final: sends their whole lines,
     * but for those before `streamedUntil` if sendCarried() came before: the
     * stage streamed those.
     */
    KELO_LANE_INLINE void markWritten(std::size_t reals, std::size_t streamedUntil) {
        const std::size_t written = reals * sizeof(Real);
        const std::size_t streamed = m_carriedSent ? streamedUntil * sizeof(Real) : 0;
        for (std::size_t j = 0; j < m_rows; ++j) {
            const std::size_t start = j * m_rowBytes;
            const std::size_t end = start + written;
            const std::size_t whole = end < m_sent[j] ? m_sent[j] : lineFloor(end);
            sendPieces(std::max(m_sent[j], start + streamed), whole);
            m_sent[j] = std::max(m_sent[j], whole);
        }
        m_writtenBytes = written;
        m_carriedSent = false;
    }

    /** Sends the rest of the group, which is final. */
    void finish() {
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

    /** The offset from m_to of the line that holds `offset`, which must start within the group. */
    std::size_t lineFloor(std::size_t offset) const { return offset - lineOffset(m_to + offset); }

    /**
     * Whether no two of the rows start within kPageMargin bytes of each other
     * in a 4 KiB page. A stage writes its rows side by side, a few bytes of
     * each in turn; where the rows share their place in a page, that slows the
     * whole kernel down, though streamed stores alone keep their speed there:
     * float64 rows of 65536 bytes streamed that way took 1.5 times as long as
     * through the buffer, on AMD Zen 4.
     */
    bool rowsApartInPages() const {
        constexpr std::size_t kPage = 4096;
        constexpr std::size_t kPageMargin = 256;
        for (std::size_t apart = 1; apart < m_rows; ++apart) {
            const std::size_t place = apart * m_rowBytes % kPage;
            if (std::min(place, kPage - place) < kPageMargin) {
                return false;
            }
        }
        return true;
    }

    /** Sends the bytes [from, to) of the group: whole lines, and 16-byte pieces at ends within a line. */
    KELO_LANE_INLINE void sendPieces(std::size_t from, std::size_t to) {
        // In locals: the streamed stores may alias the members.
        const char* const source = m_from;
        char* const target = m_to;
        std::size_t piece = from;
        for (; piece < to && lineOffset(target + piece) != 0; piece += kPieceBytes) {
            streamPiece(target + piece, source + piece);
        }
        for (; piece + kLineBytes <= to; piece += kLineBytes) {
            streamLine(target + piece, source + piece);
        }
        for (; piece < to; piece += kPieceBytes) {
            streamPiece(target + piece, source + piece);
        }
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
            streamPiece(to + part, from + part);
        }
#endif
        std::memcpy(to + part, from + part, bytes - part);
    }

    /** 16 bytes, aligned to 16 at both ends. */
    static void streamPiece(char* to, const char* from) {
#if defined(__SSE2__)
        _mm_stream_si128(reinterpret_cast<__m128i*>(to), _mm_load_si128(reinterpret_cast<const __m128i*>(from)));
#else
        std::memcpy(to, from, kPieceBytes);
#endif
    }

    static void streamLine(char* to, const char* from) {
        for (std::size_t part = 0; part < kLineBytes; part += kPieceBytes) {
            streamPiece(to + part, from + part);
        }
    }

    CacheLineVector<Real> m_buffer;
    CacheLineVector<std::size_t> m_sent;  // per row: the end of the lines streamed, from its first line on
    char* m_from = nullptr;
    char* m_to = nullptr;
    std::size_t m_rows = 0;
    std::size_t m_rowBytes = 0;
    std::size_t m_writtenBytes = 0;  // of each row, final
    bool m_direct = false;           // the stage may stream most of each degree itself
    bool m_carriedSent = false;      // sendCarried() came since the last markWritten
};

}  // namespace kelo::detail
