#include "common/gzip.hpp"

#include <zlib.h>

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
    std::string out;
    size_t offset = 0;
    // One member after another, as long as input remains.
    while (offset < data.size()) {
        Inflater inf;
        inf.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
        inf.z.avail_in = static_cast<uInt>(data.size() - offset);
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            const size_t before = out.size();
            out.resize(before + kPiece);
            inf.z.next_out = reinterpret_cast<Bytef*>(out.data() + before);
            inf.z.avail_out = static_cast<uInt>(kPiece);
            rc = inflate(&inf.z, Z_NO_FLUSH);
            out.resize(before + kPiece - inf.z.avail_out);
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
