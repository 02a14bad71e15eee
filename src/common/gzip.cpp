#include "common/gzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace vemo {
namespace {

constexpr int kGzipWindow = 15 + 16;  // zlib's way of asking for the gzip wrapper
constexpr size_t kPiece = 64 * 1024;

struct Deflater {
    z_stream z{};
    explicit Deflater(int level) {
        if (deflateInit2(&z, level, Z_DEFLATED, kGzipWindow, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("gzip: cannot start compressor");
    }
    ~Deflater() { deflateEnd(&z); }
};

struct Inflater {
    z_stream z{};
    Inflater() {
        if (inflateInit2(&z, kGzipWindow) != Z_OK)
            throw std::runtime_error("gzip: cannot start decompressor");
    }
    ~Inflater() { inflateEnd(&z); }
};

uint32_t trailer_size(std::string_view data) {
    if (data.size() < 18) return 0;
    const auto* end = reinterpret_cast<const unsigned char*>(data.data() + data.size());
    return uint32_t{end[-4]} | uint32_t{end[-3]} << 8 | uint32_t{end[-2]} << 16 | uint32_t{end[-1]} << 24;
}

}  // namespace

std::string gzip_compress(std::string_view data, int level) {
    Deflater d(level);
    std::string out(deflateBound(&d.z, static_cast<uLong>(data.size())), '\0');
    d.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    d.z.avail_in = static_cast<uInt>(data.size());
    d.z.next_out = reinterpret_cast<Bytef*>(out.data());
    d.z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&d.z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("gzip: compression failed");
    out.resize(d.z.total_out);
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
        Inflater inf;
        inf.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
        inf.z.avail_in = static_cast<uInt>(data.size() - offset);
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            const size_t before = out.size();
            // One byte past the limit is enough to know it was passed; the
            // buffer never grows (by doubling) far beyond that.
            const size_t room = limit - std::min(limit, before);
            const size_t piece = room < kPiece ? room + 1 : kPiece;
            if (before + piece > out.capacity())
                out.reserve(2 * out.capacity() >= limit ? most : std::max(before + piece, 2 * out.capacity()));
            out.resize(before + piece);
            inf.z.next_out = reinterpret_cast<Bytef*>(out.data() + before);
            inf.z.avail_out = static_cast<uInt>(piece);
            rc = inflate(&inf.z, Z_NO_FLUSH);
            out.resize(before + piece - inf.z.avail_out);
            if (out.size() > limit)
                throw std::invalid_argument("payload decompresses to more than " + std::to_string(limit) + " bytes");
            if (rc == Z_STREAM_END) break;
            if (rc != Z_OK || (inf.z.avail_in == 0 && inf.z.avail_out != 0))
                throw std::invalid_argument("Compressed file ended before the end-of-stream marker was reached");
        }
        offset = data.size() - inf.z.avail_in;
        // Trailing zero padding after the last member is allowed, as gzip does.
        if (offset < data.size() && data.find_first_not_of('\0', offset) == std::string_view::npos) break;
    }
    return out;
}

}  // namespace vemo
