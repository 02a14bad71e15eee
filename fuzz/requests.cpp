#include "requests.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <vector>

namespace {

const char* const kOddStrings[] = {
    "\"\"",  "\"\\u0000\"", "\"a\\u0000b\"", "\"\\ud800\"", "\"\\udcff\"", "\"\\u6c49\\u5b57\"",
    "\" \"", "\"*\"",       "\"~\"",         "\"\\\\\""};
const char* const kOddNumbers[] = {"-1",
                                   "0",
                                   "2147483648",
                                   "9223372036854775807",
                                   "9223372036854775808",
                                   "-9223372036854775809",
                                   "1e308",
                                   "1e999",
                                   "-1e999",
                                   "NaN",
                                   "Infinity",
                                   "-0.0",
                                   "1.5",
                                   "100000000000000000000000000000"};

std::string safe_name(ByteSource& in) {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_-.";
    std::string s;
    for (size_t n = in.u8() % 10; n > 0; --n) s += kAlphabet[in.u8() % (sizeof kAlphabet - 1)];
    // No way out of the scratch directory.
    for (size_t at; (at = s.find("..")) != std::string::npos;) s[at] = '_';
    return s;
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

bool is_path_key(const std::string& key);

// A value meant for `key` that its handler may accept.
std::string plausible(const std::string& key, ByteSource& in, Request& req) {
    const uint8_t c = in.u8();
    if (is_path_key(key)) return quoted("play/" + safe_name(in));
    if (key == "f_name") return quoted(safe_name(in));
    if (key == "f_size" || key == "f_pos" || key == "id") return std::to_string(in.u16() % 2048);
    if (key == "f_mode" || key == "mode") {
        const char* m[] = {"\"755\"", "\"644\"", "\"0\"", "\"999\"", "\"abc\"", "755", "\"-1\""};
        return m[c % 7];
    }
    if (key == "f_user" || key == "user") {
        const char* u[] = {"\"root\"", "\"nobody\"", "\"zzuser\"", "\"a b\"", "\"0\""};
        return u[c % 5];
    }
    if (key == "f_md5") return c % 2 ? "\"@md5@\"" : "\"00\"";
    if (key == "f_sha1") return "\"da39a3ee5e6b4b0d3255bfef95601890afd80709\"";
    if (key == "p_name") return c % 2 ? "\"demo\"" : quoted(safe_name(in));
    if (key == "p_fun") {
        const char* f[] = {"\"hello\"", "\"nope\"", "\"__class__\"", "\"__init__\"", "\" hello \"", "\"\""};
        return f[c % 6];
    }
    if (key == "fun") {
        const char* f[] = {"\"get_thread_list\"", "\"get_task_list\"", "\"get_task\"", "\"nope\"",
                           "\"heartbeat\"",       "\"__class__\"",     "\"\""};
        return f[c % 7];
    }
    if (key == "host") return "\"127.0.0.1\"";
    if (key == "port") return c % 2 ? "1" : "\"1\"";
    if (key == "stype") {
        const char* t[] = {"\"zip\"", "\"tar\"", "\"tgz\"", "\"rar\"", "\"\""};
        return t[c % 5];
    }
    if (key == "name") return c % 3 == 0 ? "\"json\"" : quoted("zz" + safe_name(in));
    if (key == "args" && req.type != 17) return c % 2 ? "\"--quiet\"" : "\"-v -v\"";
    if (key == "args") return c % 2 ? "{\"path\": \"play\"}" : "{}";
    return quoted(safe_name(in));
}

std::string value(const std::string& key, ByteSource& in, Request& req, int depth);

std::string container(ByteSource& in, Request& req, int depth, bool object) {
    std::string s = object ? "{" : "[";
    for (size_t n = depth > 2 ? 0 : in.u8() % 4, i = 0; i < n; ++i) {
        if (i) s += ", ";
        if (object) s += quoted(safe_name(in)) + ": ";
        s += value("", in, req, depth + 1);
    }
    return s + (object ? "}" : "]");
}

bool is_path_key(const std::string& key) {
    return key == "f_path" || key == "path" || key == "sfile" || key == "dfile" || key == "filename";
}

std::string value(const std::string& key, ByteSource& in, Request& req, int depth) {
    const uint8_t c = in.u8() % 16;
    if (c == 4 && is_path_key(key)) {  // odd, but never the file system's root
        const std::string odd = kOddStrings[in.u8() % (sizeof kOddStrings / sizeof *kOddStrings)];
        return "\"play/" + odd.substr(1);
    }
    switch (c) {
        case 0: return "null";
        case 1: return in.u8() % 2 ? "true" : "false";
        case 2: return std::to_string(static_cast<int8_t>(in.u8()));
        case 3: return kOddNumbers[in.u8() % (sizeof kOddNumbers / sizeof *kOddNumbers)];
        case 4: return kOddStrings[in.u8() % (sizeof kOddStrings / sizeof *kOddStrings)];
        case 5: return quoted("play/" + std::string(1000u << (in.u8() % 8), 'a'));
        case 6: return "1" + std::string(5000, '0');  // beyond the interpreter's digit limit
        case 7: return container(in, req, depth, false);
        case 8: return container(in, req, depth, true);
        default: return key.empty() ? quoted(safe_name(in)) : plausible(key, in, req);
    }
}

std::string md5_hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) (s += kHex[digest[i] >> 4]) += kHex[digest[i] & 15];
    return s;
}

// An integer the generator wrote as plain digits, as the handler reads it.
bool plain_int(const std::string& text, long long& out) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("-0123456789") != std::string::npos)
        return false;
    out = std::stoll(text);
    return true;
}

constexpr long long kMaxRaw = 70000;

}  // namespace

const std::vector<const vemo::Operation*>& sealed_operations() {
    static const std::vector<const vemo::Operation*> ops = [] {
        std::vector<const vemo::Operation*> sealed;
        for (const vemo::Operation& op : vemo::kOperations)
            if (op.type != vemo::kKeyExchange && op.type != vemo::kHeartbeat) sealed.push_back(&op);
        return sealed;
    }();
    return ops;
}

Request build_request(ByteSource& in) {
    const std::vector<const vemo::Operation*>& ops = sealed_operations();
    const vemo::Operation& op = *ops[in.u8() % ops.size()];
    Request req;
    req.type = op.type;
    const uint8_t shape = in.u8();
    if (op.type == 7 || shape % 16 == 0) {  // a bare value where an object is expected
        req.json = op.type == 7 && shape % 4 ? plausible("path", in, req) : value("", in, req, 0);
        return req;
    }
    std::string json = "{";
    std::string f_size, f_pos;
    bool first = true;
    for (const char* key : op.keys) {
        if (in.u8() % 8 == 0) continue;  // missing
        const std::string v = value(key, in, req, 0);
        if (std::string(key) == "f_size") f_size = v;
        if (std::string(key) == "f_pos") f_pos = v;
        json += (first ? "" : ", ") + quoted(key) + ": " + v;
        first = false;
    }
    if (in.u8() % 8 == 0) {  // a key no handler reads, sometimes a dunder
        const char* k[] = {"__class__", "_data", "", "get", "keys"};
        json += (first ? "" : ", ") + quoted(k[in.u8() % 5]) + ": " + value("", in, req, 0);
    }
    json += "}";

    long long size = 0, pos = 0;
    if (op.type == 2 && plain_int(f_size, size) && (f_pos.empty() || plain_int(f_pos, pos))) {
        const long long announced = std::max(0LL, size - pos);
        if (announced <= kMaxRaw) {
            req.raw_known = true;
            req.raw.assign(static_cast<size_t>(announced), 'r');
            for (size_t i = 0; i < req.raw.size() && in.left(); i += 97)
                req.raw[i] = static_cast<char>(in.u8());
        }
    }
    const size_t at = json.find("@md5@");
    if (at != std::string::npos)
        json.replace(at, 5, md5_hex(req.raw.substr(0, std::min<size_t>(512, req.raw.size()))));
    req.json = json;
    return req;
}
