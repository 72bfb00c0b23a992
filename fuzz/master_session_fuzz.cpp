// The two session layers as a master drives them: the daemon's SMUX or
// AgentX session connected to a stand-in master, which sends the input in
// chunks, so that stream reassembly and the handling of every PDU (in every
// state the session reaches) meet arbitrary bytes. Nothing the master sends
// may stop the daemon: a path that ends in terminate_service exits, and
// libFuzzer reports that as a failure.
//
// Input: byte 0 bit 0 picks AgentX (else SMUX), bit 1 has the stand-in
// first answer the open and the registrations as a master would; byte 1
// sets the chunk size (1 to 256 bytes); the rest is what the master sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfg/reg.h"
#include "mail/mbox.h"
#include "smux/agentx.h"
#include "smux/dispatch.h"
#include "smux/pairs.h"
#include "smux/peer.h"
#include "smux/session.h"
#include "snmp/agentx_pdu.h"
#include "snmp/mib.h"
#include "snmp/smux_session.h"
#include "store/obj.h"

namespace {

const char* const defs =
    "vdnFuzz enterprises.32473.11.9\n"
    "vdnStdEquipment vdnFuzz.1\n"
    "vdnSystemInfo vdnFuzz.2\n"
    "vdnHealth vdnFuzz.3\n"
    "vdnSm2 vdnFuzz.4\n"
    "fLevel vdnSystemInfo.1 INTEGER read-write mandatory\n"
    "fText vdnSystemInfo.2 DisplayString read-write mandatory\n";

int tcp_listener = -1;
int unix_listener = -1;
stream_address unix_address;
std::string registry;

int listen_on(int family, sockaddr* addr, socklen_t len)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, addr, len) != 0 || listen(fd, 4) != 0)
        std::abort();
    return fd;
}

int accept_one(int listener)
{
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1)
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

// Reads and drops what the daemon sent, so that it never waits for room.
void drain(int fd)
{
    std::uint8_t buf[65536];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Lets the session take whatever arrived; what it answers is dropped
// unless the handshake still reads it (master -1).
void take(const master_transport& t, int master)
{
    for (int rounds = 0; rounds < 10000 && t.fd() >= 0 && (t.pending() || readable(t.fd())); ++rounds) {
        t.readable();
        if (master >= 0)
            drain(master);
    }
}

// Answers the open and the four registrations of an AgentX session.
void agentx_handshake(const master_transport& t, int master)
{
    for (int i = 0; i < 1 + SUBTREE_COUNT && t.fd() >= 0; ++i) {
        std::vector<std::uint8_t> in(AX_MAX_PDU);
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1)
            return;
        ssize_t n = recv(master, in.data(), in.size(), 0);
        ax_pdu pdu;
        const char* why = "";
        if (n <= 0 || !ax_decode(in.data(), static_cast<size_t>(n), &pdu, &why))
            return;
        ax_header h = pdu.h;
        h.type = AX_PDU_RESPONSE;
        h.session_id = 9;
        std::vector<std::uint8_t> out;
        ax_build_response(out, h, 0, 0, 0, {});
        send(master, out.data(), out.size(), MSG_NOSIGNAL);
        take(t, -1);
    }
}

void smux_handshake(const master_transport& t, int master)
{
    static const std::uint8_t accepted[] = {0x43, 0x04, 0x00, 0x00, 0x00, 0x00};
    for (int i = 0; i < SUBTREE_COUNT && t.fd() >= 0; ++i) {
        send(master, accepted, sizeof accepted, MSG_NOSIGNAL);
        take(t, -1);
    }
}

void remove_registry()
{
    std::system(("rm -rf '" + registry + "'").c_str());
    unlink(unix_address.path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The daemon's log goes nowhere: a line or two per input would bury
    // libFuzzer's own report, which it writes through the stream it took
    // at start-up (and sanitizers through the descriptor itself).
    if (FILE* quiet = std::fopen("/dev/null", "w"))
        stderr = quiet;
    readobjects_from_buffer(defs, std::strlen(defs), "fuzz");
    peer_resolve_subtrees();
    snmp_oid* identity = make_obj_id_from_dot("1.3.6.1.4.1.32473.11.2.11.2");
    peer_set_credentials(identity, "secret");
    free_oid(identity);
    char pattern[] = "/tmp/master_session_fuzz.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        std::abort();
    registry = pattern;
    std::atexit(remove_registry);
    for (const char* name : {"fLevel", "fText"}) {
        auto* entry = static_cast<reg_entry*>(std::calloc(1, sizeof(reg_entry)));
        std::snprintf(entry->subpath, sizeof entry->subpath, "%s", "sys/scalars");
        std::snprintf(entry->name, sizeof entry->name, "%s", name);
        entry->table_flag = SCALAR;
        q_add(&registry_Q, entry);
        ++registry_count;
    }
    if (build_pairs_table(dispatch_methods()) != 0)
        std::abort();
    obj_set_registry_dir(registry.c_str());
    peer_set_init_pending(0);
    mbox_forget_service();  // a set's mail cannot go out: the set fails

    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    tcp_listener = listen_on(AF_INET, reinterpret_cast<sockaddr*>(&in), sizeof in);
    getsockname(tcp_listener, reinterpret_cast<sockaddr*>(&in), &len);
    smux_set_master("127.0.0.1", ntohs(in.sin_port));
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    std::snprintf(un.sun_path, sizeof un.sun_path, "%s.sock", pattern);
    unix_listener = listen_on(AF_UNIX, reinterpret_cast<sockaddr*>(&un), sizeof un);
    stream_parse_address(un.sun_path, &unix_address);
    master_set_transports(smux_transport(), agentx_transport());
    smux_set_send_wait(100);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    bool agentx = (data[0] & 1) != 0;
    bool handshake = (data[0] & 2) != 0;
    std::size_t chunk = 1 + data[1];
    const master_transport& t = agentx ? *agentx_transport() : *smux_transport();
    peer_assoc = association{};
    agentx_reset();
    agentx_set_send_wait(100);
    master_log_reset();
    if (t.connect(unix_address) < 0)
        return 0;
    int master = accept_one(agentx ? unix_listener : tcp_listener);
    if (master < 0)
        std::abort();
    pollfd p{t.fd(), POLLOUT, 0};
    poll(&p, 1, 1000);
    t.writable();
    if (handshake)
        agentx ? agentx_handshake(t, master) : smux_handshake(t, master);
    drain(master);
    for (std::size_t at = 2; at < size && t.fd() >= 0; at += chunk) {
        std::size_t n = std::min(chunk, size - at);
        if (send(master, data + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            break;
        // A local socket has the bytes at the other end once send returns.
        take(t, master);
    }
    close(master);
    take(t, -1);
    t.release();
    flush_pending_sets(false);
    return 0;
}
