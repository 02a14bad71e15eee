// gzip (RFC 1952) in memory, through zlib.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vemo {

std::string gzip_compress(std::string_view data, int level);
// Accepts any valid gzip stream, several members included; throws
// std::invalid_argument for anything else, and for a stream that would
// decompress to more than `limit` bytes.
std::string gzip_decompress(std::string_view data, size_t limit);

}  // namespace vemo
