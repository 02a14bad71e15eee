// Structured requests: the fuzzer's bytes pick an operation and build a
// JSON request for it from the keys that operation reads, each value
// well-formed, wrong-typed, missing, huge or odd.  Every path stays inside
// the scratch directory `play/` of the server root under test.
#pragma once

#include "client/core/operations.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ByteSource {
public:
    ByteSource(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    uint8_t u8() { return n_ ? (--n_, *p_++) : 0; }
    uint32_t u16() { return u8() | (uint32_t(u8()) << 8); }
    size_t left() const { return n_; }
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(p_), n_);
        n_ = 0;
        return s;
    }

private:
    const uint8_t* p_;
    size_t n_;
};

struct Request {
    int type = 0;
    std::string json;
    // Upload only: the file bytes a master sends after the header, when
    // the header announces a size a master could send.
    bool raw_known = false;
    std::string raw;
};

// Every operation whose payload is sealed: all but the key exchange and the
// heartbeat.
const std::vector<const vemo::Operation*>& sealed_operations();

Request build_request(ByteSource& in);
