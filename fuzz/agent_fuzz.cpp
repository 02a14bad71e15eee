// libFuzzer target: the real agent (module `client`, built in) in an
// embedded interpreter with the real host modules, accepting real loopback
// TLS connections on its own Listener.  Each input is played as a master
// would send it, the agent reads it through on_read exactly as its loop
// does, and after every input a heartbeat must still be answered.
//
// VEMO_FUZZ_MODE selects what the input is:
//   prekey  raw bytes on a fresh connection without a session key
//   frames  raw bytes on a keyed connection (headers, types, seals)
//   sealed  a sealed payload that does not open, opens to non-gzip, or
//           gunzips to non-JSON, for a type the input picks
//   json    a well-sealed JSON request for the keys a handler reads
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <pybind11/eval.h>

#include "client/core/agent.hpp"
#include "client/core/listener.hpp"
#include "client/core/operations.hpp"
#include "client/core/selector.hpp"
#include "common/pybind.hpp"
#include "common/tls.hpp"
#include "peer.hpp"
#include "requests.hpp"

extern "C" PyObject* PyInit_client();
extern "C" PyObject* PyInit_warden();

namespace {

enum class Mode { kPrekey, kFrames, kSealed, kJson };

// The master's side: sealing with the master library, and the scratch
// tree every generated path lives in.
const char* const kHelpers = R"(
import os, shutil, sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from vemo_master import crypto

def seal_plain(key, data):
    nonce = os.urandom(12)
    return nonce + AESGCM(key).encrypt(nonce, data, None)

def reset_scratch():
    # Each plugin call appends its directory to the search path, as the
    # agent does for the life of its process; over millions of calls that
    # would only slow every import.
    seen = set()
    sys.path[:] = [p for p in sys.path if not (p in seen or seen.add(p))]
    shutil.rmtree('play', ignore_errors=True)
    os.makedirs('play/d1')
    with open('play/f1', 'wb') as f:
        f.write(b'x' * 700)
    with open('play/d1/f2', 'wb') as f:
        f.write(b'')
    os.symlink('f1', 'play/ln')
    os.symlink('missing', 'play/dead')
    os.makedirs('plugin/demo', exist_ok=True)
    with open('plugin/demo/info.json', 'w') as f:
        f.write('{"versions": "1.0"}')
    with open('plugin/demo/demo_main.py', 'w') as f:
        f.write('class demo_main(object):\n'
                '    def hello(self, args):\n'
                '        return {"x": args.get("x")}\n')
)";

constexpr int kHeartbeat = 16;
constexpr int kResetEvery = 1000;
constexpr double kReplyWait = 10.0;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "agent_fuzz: %s\n", why.c_str());
    std::abort();
}

struct Link {
    std::unique_ptr<Peer> peer;
    int fd = -1;
    py::object conn;
    py::bytes key;
    bool half_closed = false;
};

struct World {
    Mode mode;
    py::object agent, listener, helpers, on_read;
    py::bytes public_key;
    int port = 0;
    Link control, work;
    long runs = 0;
};

World* world = nullptr;

std::string frame(int type, const std::string& payload) {
    std::string f(5, '\0');
    const int32_t n = static_cast<int32_t>(payload.size());
    std::memcpy(f.data(), &n, 4);
    f[4] = static_cast<char>(type);
    return f + payload;
}

bool is_open(const Link& l) {
    if (l.fd < 0) return false;
    const py::dict connections = world->agent.attr("connections");
    const py::int_ key(l.fd);
    return connections.contains(key) && py::object(connections[key]).is(l.conn);
}

// One turn of the agent's loop for this connection.
void agent_reads(Link& l) {
    world->on_read(l.conn, 1);
}

void end_stream(Link& l) {
    l.peer->close_write();
    l.half_closed = true;
    if (is_open(l)) agent_reads(l);
}

void connect(Link& l, bool keyed) {
    l = Link();
    l.peer = std::make_unique<Peer>(world->port);
    bool shook = false;
    std::atomic<bool> done{false};
    std::thread client([&] {
        shook = l.peer->handshake();
        done = true;
    });
    world->agent.attr("on_accept")(world->listener, 1);
    const py::dict addresses = world->agent.attr("addresses");
    for (const auto& item : addresses) {
        const py::object addr = py::reinterpret_borrow<py::object>(item.second);
        if (py::cast<int>(addr[py::int_(1)]) == l.peer->local_port() &&
            py::cast<std::string>(addr[py::int_(0)]) == l.peer->local_address())
            l.fd = py::cast<int>(item.first);
    }
    if (l.fd < 0) die("the agent did not take the connection");
    l.conn = world->agent.attr("connections")[py::int_(l.fd)];
    // The agent advances the handshake as its bytes arrive, as its loop would.
    while (!done && is_open(l)) {
        agent_reads(l);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    client.join();
    if (!shook) die("TLS handshake with the agent failed");
    if (!keyed) return;
    const py::bytes key = py::module_::import("os").attr("urandom")(32);
    const py::object crypto = py::module_::import("vemo_master.crypto");
    l.peer->send(frame(0, crypto.attr("wrap_session_key")(world->public_key, key).cast<std::string>()));
    agent_reads(l);
    const auto reply = l.peer->reply(kReplyWait);
    if (!reply || *reply != "True") die("key exchange refused");
    l.key = key;
}

// The agent must answer a heartbeat, on this connection if it is still
// open, else on a fresh one.
void check_alive(Link& l) {
    if (l.half_closed && is_open(l)) agent_reads(l);
    if (l.half_closed && is_open(l)) die("the agent kept a connection whose peer ended it");
    if (!is_open(l) || l.key.is_none() || std::string(l.key).empty()) connect(l, true);
    l.peer->discard_replies();
    l.peer->send(frame(kHeartbeat, ""));
    agent_reads(l);
    const auto reply = l.peer->reply(kReplyWait);
    if (!reply) die("no answer to a heartbeat");
    const py::object crypto = py::module_::import("vemo_master.crypto");
    const std::string answer = crypto.attr("open_sealed")(l.key, py::bytes(*reply)).cast<std::string>();
    if (answer != "1") die("wrong answer to a heartbeat: " + answer.substr(0, 2000));
}

// Raw bytes as a peer sends them: frame by frame, each read by the agent
// as it arrives; a frame the input cuts short ends the stream.
void play_stream(Link& l, const std::string& data) {
    size_t at = 0;
    while (is_open(l)) {
        const size_t left = data.size() - at;
        if (left < 5) {
            if (left > 0) {
                l.peer->send(data.substr(at));
                end_stream(l);
            }
            return;
        }
        int32_t length;
        std::memcpy(&length, data.data() + at, 4);
        const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
        if (size > left - 5) {
            l.peer->send(data.substr(at));
            end_stream(l);
            return;
        }
        l.peer->send(data.substr(at, 5 + size));
        at += 5 + size;
        agent_reads(l);
    }
}

void play_sealed(Link& l, ByteSource& in) {
    const std::vector<const vemo::Operation*>& ops = sealed_operations();
    const int type = ops[in.u8() % ops.size()]->type;
    const uint8_t layer = in.u8() % 4, where = in.u8();
    const std::string body = in.rest();
    const py::object& h = world->helpers;
    std::string payload;
    switch (layer) {
        case 0:  // does not open
            payload = body;
            break;
        case 1:  // opens, but is not gzip
            payload = h["seal_plain"](l.key, py::bytes(body)).cast<std::string>();
            break;
        case 2:  // gzip, but not (necessarily) JSON
            payload = h["crypto"].attr("seal")(l.key, py::bytes(body)).cast<std::string>();
            break;
        default: {  // damaged gzip: cut short or one byte changed
            std::string gz = h["crypto"].attr("gzip_bytes")(py::bytes(body)).cast<std::string>();
            const size_t at = where % gz.size();
            if (where & 1)
                gz.resize(at);
            else
                gz[at] = static_cast<char>(gz[at] ^ (where | 1));
            payload = h["seal_plain"](l.key, py::bytes(gz)).cast<std::string>();
        }
    }
    l.peer->send(frame(type, payload));
    agent_reads(l);
}

void play_json(Link& l, ByteSource& in) {
    const Request req = build_request(in);
    const py::object crypto = world->helpers["crypto"];
    l.peer->send(frame(req.type, crypto.attr("seal")(l.key, py::bytes(req.json)).cast<std::string>()));
    if (req.type == 2) {
        // The file bytes follow the header at once, as a master sends them;
        // when the header announces nothing a master could send, the
        // stream ends instead.
        if (!req.raw_known) {
            end_stream(l);
            return;
        }
        l.peer->send(req.raw);
    }
    agent_reads(l);
}

void setup() {
    signal(SIGPIPE, SIG_IGN);  // as under the interpreter the agent normally runs in
    PyImport_AppendInittab("client", &PyInit_client);
    PyImport_AppendInittab("warden", &PyInit_warden);
    Py_InitializeEx(0);
    world = new World();
    const char* mode = std::getenv("VEMO_FUZZ_MODE");
    const std::string m = mode ? mode : "";
    world->mode = m == "prekey"   ? Mode::kPrekey
                  : m == "frames" ? Mode::kFrames
                  : m == "sealed" ? Mode::kSealed
                  : m == "json"   ? Mode::kJson
                                : (die("VEMO_FUZZ_MODE must be prekey, frames, sealed or json"), Mode::kJson);

    const py::module_ client = py::module_::import("client");
    py::object agent = client.attr("zq_vemo_client")();
    agent.attr("threads") = py::module_::import("warden").attr("warden")();
    // A stalled read must fail well inside libFuzzer's -timeout.
    agent.attr("io_timeout") = 2.0;
    agent.attr("handshake_timeout") = 5.0;

    auto tls = std::make_shared<vemo::TlsContext>();
    tls->load(vemo::Agent::class_attr_text("_cert"), vemo::Agent::class_attr_text("_key"));
    agent.attr("context") = py::cast(tls);
    auto listener = std::make_unique<vemo::Listener>();
    listener->bind_and_listen("127.0.0.1", 0, 16);
    listener->wrap(tls);
    world->listener = py::cast(std::move(listener));
    world->port = py::cast<int>(world->listener.attr("getsockname")()[py::int_(1)]);
    agent.attr("s") = world->listener;
    agent.attr("epoll") = py::cast(std::make_unique<vemo::Selector>());
    world->agent = agent;
    world->on_read = agent.attr("on_read");

    world->helpers = py::dict();
    py::exec(kHelpers, world->helpers);
    world->helpers["reset_scratch"]();
    world->public_key = py::module_::import("public").attr("readFile")("data/id_rsa.pub", "rb");
    connect(world->control, true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    try {
        setup();
    } catch (const std::exception& e) {
        die(std::string("setup failed: ") + e.what());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = *world;
    try {
        if (++w.runs % kResetEvery == 0) w.helpers["reset_scratch"]();
        ByteSource in(data, size);
        if (w.mode == Mode::kPrekey) {
            connect(w.work, false);
            play_stream(w.work, in.rest());
            if (is_open(w.work)) end_stream(w.work);
            if (is_open(w.work)) die("the agent kept a connection whose peer ended it");
            check_alive(w.control);
            return 0;
        }
        if (!is_open(w.work) || w.work.half_closed) check_alive(w.work);
        if (w.mode == Mode::kFrames) play_stream(w.work, in.rest());
        if (w.mode == Mode::kSealed) play_sealed(w.work, in);
        if (w.mode == Mode::kJson) play_json(w.work, in);
        check_alive(w.work);
    } catch (py::error_already_set& e) {
        die(std::string("a Python exception escaped the agent: ") + e.what());
    } catch (const std::exception& e) {
        die(std::string("an exception escaped the agent: ") + e.what());
    }
    return 0;
}
