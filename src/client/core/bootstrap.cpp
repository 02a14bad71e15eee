// Construction: the crypto object and the key material a master needs.
#include <sys/stat.h>

#include <chrono>

#include "client/core/agent.hpp"
#include "common/errors.hpp"
#include "common/host.hpp"

namespace vemo {

double wall_time() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

namespace {

// The crypto helper reads its private key, and imports what it decrypts
// with, on its first decryption: a probe makes it do so now, while
// descriptors are plentiful, not at a master's key exchange when
// connections may hold them all.  The probe cannot be opened; its failure
// is the expected answer.
void prime_key_helper(const host::Crypto& helper) {
    try {
        helper.rsa_decrypt_private(py::bytes(""));
    } catch (py::error_already_set& e) {
        if (is_interrupt(e)) throw;
    }
}

}  // namespace

Agent::Agent() {
    rsa_aes = host::Crypto::make();
    const host::Crypto crypto(rsa_aes);
    struct stat st;
    if (::stat("data/id_rsa.pub", &st) != 0) crypto.create_rsa();
    prime_key_helper(crypto);
    create_ssl();
    secure_key_material();
}

py::object Agent::self() {
    return py::cast(this, py::return_value_policy::reference);
}

std::string Agent::class_attr_text(const char* name) {
    return py::str(py::type::of<Agent>().attr(name));
}

Selector& Agent::selector() {
    return py::cast<Selector&>(epoll);
}

Listener& Agent::listener() {
    return py::cast<Listener&>(s);
}

}  // namespace vemo
