#include "common/gzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/parallel.hpp"

namespace vemo {
namespace {

constexpr int kGzipWindow = 15 + 16;  // zlib's way of asking for the gzip wrapper
constexpr size_t kPiece = 64 * 1024;

// Starting a stream allocates and clears its window and hash tables: more
// than compressing a short reply takes.  Each thread keeps its streams and
// resets them between payloads; replies of a few KiB get a stream whose
// tables are small, since clearing is part of every reset.  Deflate reaches
// back its window less 262 bytes of lookahead.
constexpr int kSmallWindowBits = 12;
constexpr size_t kSmallInput = (size_t{1} << kSmallWindowBits) - 262;

struct Deflater {
    z_stream z{};
    Deflater(int window_bits, int mem_level, int level = Z_DEFAULT_COMPRESSION) {
        if (deflateInit2(&z, level, Z_DEFLATED, window_bits, mem_level, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("gzip: cannot start compressor");
    }
    ~Deflater() { deflateEnd(&z); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
};

// Ready for a new payload at `level`; any gzip reader accepts the smaller
// window, which never shortens a match within an input it reaches across.
z_stream& deflater(size_t input_size, int level) {
    thread_local Deflater small(kSmallWindowBits + 16, 4), large(kGzipWindow, 8);
    z_stream& z = input_size <= kSmallInput ? small.z : large.z;
    if (deflateReset(&z) != Z_OK || deflateParams(&z, level, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: cannot start compressor");
    return z;
}

struct Inflater {
    z_stream z{};
    Inflater() {
        if (inflateInit2(&z, kGzipWindow) != Z_OK)
            throw std::runtime_error("gzip: cannot start decompressor");
    }
    ~Inflater() { inflateEnd(&z); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

z_stream& inflater() {
    thread_local Inflater one;
    if (inflateReset(&one.z) != Z_OK) throw std::runtime_error("gzip: cannot start decompressor");
    return one.z;
}

uint32_t trailer_size(std::string_view data) {
    if (data.size() < 18) return 0;
    const auto* end = reinterpret_cast<const unsigned char*>(data.data() + data.size());
    return uint32_t{end[-4]} | uint32_t{end[-3]} << 8 | uint32_t{end[-2]} << 16 | uint32_t{end[-1]} << 24;
}

// Large payloads are compressed by several threads at once, each over its
// own piece, into one gzip member: every piece is a raw deflate stream that
// ends on a byte boundary (a sync flush; the last piece finishes the
// stream), and the pieces' checksums are combined.  Any gzip reader reads
// it as one stream; only matches across a piece boundary are lost.
constexpr size_t kPieceAtLeast = 2 * 1024 * 1024;
constexpr size_t kMostPieces = 4;

// Deflates `in` as a raw stream into `out` (room for compressBound of it,
// plus a sync flush); the bytes written.
size_t deflate_piece(std::string_view in, int level, bool last, char* out, size_t room) {
    Deflater raw(-15, 8, level);
    raw.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    raw.z.avail_in = static_cast<uInt>(in.size());
    raw.z.next_out = reinterpret_cast<Bytef*>(out);
    raw.z.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&raw.z, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (rc != (last ? Z_STREAM_END : Z_OK) || raw.z.avail_out == 0 || raw.z.avail_in != 0)
        throw std::runtime_error("gzip: compression failed");
    return raw.z.total_out;
}

void put_le32(char* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Each thread writes into its own stretch of one buffer, which is then
// closed up: no more memory than one stream's worst case.
std::string gzip_in_pieces(std::string_view data, int level, size_t count) {
    const size_t size = (data.size() + count - 1) / count;
    std::vector<std::string_view> pieces(count);
    for (size_t i = 0; i < count; ++i) pieces[i] = data.substr(i * size, size);
    // The header zlib writes: no name, no time, the level's flag, Unix.
    const std::string header{'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, static_cast<char>(level == 1 ? 4 : 0), 3};
    std::vector<size_t> start(count + 1, header.size()), written(count);
    for (size_t i = 0; i < count; ++i)
        start[i + 1] = start[i] + compressBound(static_cast<uLong>(pieces[i].size())) + 64;
    std::string out(start[count] + 8, '\0');
    out.replace(0, header.size(), header);
    std::vector<uLong> crcs(count);
    run_in_threads(count, [&](size_t i) {
        const std::string_view piece = pieces[i];
        written[i] =
            deflate_piece(piece, level, i + 1 == count, out.data() + start[i], start[i + 1] - start[i]);
        crcs[i] = crc32(0, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(piece.size()));
    });
    size_t end = header.size();
    uLong crc = crc32(0, nullptr, 0);
    for (size_t i = 0; i < count; ++i) {
        std::memmove(out.data() + end, out.data() + start[i], written[i]);
        end += written[i];
        crc = crc32_combine(crc, crcs[i], static_cast<z_off_t>(pieces[i].size()));
    }
    put_le32(out.data() + end, static_cast<uint32_t>(crc));
    put_le32(out.data() + end + 4, static_cast<uint32_t>(data.size()));
    out.resize(end + 8);
    return out;
}

}  // namespace

std::string gzip_compress(std::string_view data, int level) {
    const size_t pieces = std::min({processor_count(), kMostPieces, data.size() / kPieceAtLeast});
    if (pieces > 1) return gzip_in_pieces(data, level, pieces);
    z_stream& z = deflater(data.size(), level);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("gzip: compression failed");
    out.resize(z.total_out);
    return out;
}

std::string gzip_decompress(std::string_view data, size_t limit) {
    if (data.size() < 2 || static_cast<unsigned char>(data[0]) != 0x1f ||
        static_cast<unsigned char>(data[1]) != 0x8b)
        throw std::invalid_argument("Not a gzipped file");
    const size_t most = limit == SIZE_MAX ? limit : limit + 1;
    std::string out;
    // The trailer's size (modulo 4 GiB) is right for any honest payload of
    // one member, which then lands in one allocation; reserving touches no
    // page, so a trailer that lies costs nothing.
    out.reserve(std::min<size_t>(trailer_size(data), most));
    size_t offset = 0;
    // One member after another, as long as input remains.
    while (offset < data.size()) {
        z_stream& z = inflater();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
        z.avail_in = static_cast<uInt>(data.size() - offset);
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            const size_t before = out.size();
            // One byte past the limit is enough to know it was passed; the
            // buffer never grows (by doubling) far beyond that.
            const size_t room = limit - std::min(limit, before);
            const size_t piece = room < kPiece ? room + 1 : kPiece;
            if (before + piece > out.capacity())
                out.reserve(std::min(std::max(before + piece, 2 * out.capacity()), most));
            out.resize(before + piece);
            z.next_out = reinterpret_cast<Bytef*>(out.data() + before);
            z.avail_out = static_cast<uInt>(piece);
            rc = inflate(&z, Z_NO_FLUSH);
            out.resize(before + piece - z.avail_out);
            if (out.size() > limit)
                throw std::invalid_argument("payload decompresses to more than " + std::to_string(limit) +
                                            " bytes");
            if (rc == Z_STREAM_END) break;
            if (rc != Z_OK || (z.avail_in == 0 && z.avail_out != 0))
                throw std::invalid_argument(
                    "Compressed file ended before the end-of-stream marker was reached");
        }
        offset = data.size() - z.avail_in;
        // Trailing zero padding after the last member is allowed, as gzip does.
        if (offset < data.size() && data.find_first_not_of('\0', offset) == std::string_view::npos) break;
    }
    return out;
}

}  // namespace vemo
