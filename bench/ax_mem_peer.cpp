// A memory-only AgentX sub-agent for the benchmarks: written the way the
// daemon's AgentX session is (the same codec and connection), it answers a
// scalar and a ROWS x 3 table from a sorted array and does nothing else, so
// that it shows what the AgentX hop through snmpd costs by itself.
//
//   ax_mem_peer SOCKET BASE ROWS
//
// BASE.1.0 is an INTEGER 42; BASE.2.1.C.R (C 1..3, R 1..ROWS) is R * 10 + C.
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "snmp/agentx_pdu.h"
#include "snmp/mib.h"
#include "snmp/stream.h"

namespace {

struct entry {
    ax_oid name;
    uint32_t value;
};

std::vector<entry> objects;
stream_conn conn;
uint32_t session_id = 0;
uint32_t next_packet = 1;

bool before(const entry& e, const ax_oid& name) { return ax_oid_cmp(e.name, name) < 0; }

ax_varbind value_of(const entry& e)
{
    ax_varbind vb;
    vb.name = e.name;
    vb.type = AX_INTEGER;
    vb.number = e.value;
    return vb;
}

ax_varbind answer(const ax_search_range& range, bool next)
{
    ax_varbind vb;
    vb.name = range.start;
    vb.name.include = false;
    auto at = std::lower_bound(objects.begin(), objects.end(), range.start, before);
    if (!next) {
        vb.type = at != objects.end() && ax_oid_cmp(at->name, range.start) == 0 ? AX_INTEGER : AX_NO_SUCH_OBJECT;
        return at != objects.end() && vb.type == AX_INTEGER ? value_of(*at) : vb;
    }
    if (at != objects.end() && !range.start.include && ax_oid_cmp(at->name, range.start) == 0)
        ++at;
    if (at == objects.end() || (range.end.n != 0 && ax_oid_cmp(at->name, range.end) >= 0)) {
        vb.type = AX_END_OF_MIB_VIEW;
        return vb;
    }
    return value_of(*at);
}

bool send_pdu(const std::vector<uint8_t>& pdu) { return stream_send(conn, pdu.data(), pdu.size()) == STREAM_OK; }

ax_header header(uint8_t type)
{
    ax_header h;
    h.type = type;
    h.session_id = session_id;
    h.packet_id = next_packet++;
    return h;
}

// Waits for the master's next PDU.
bool next_pdu(ax_pdu* out)
{
    for (;;) {
        size_t len = 0;
        int result = stream_take(conn, ax_frame, &len);
        if (result == STREAM_OK) {
            const char* why = "";
            *out = ax_pdu{};
            bool ok = ax_decode(conn.in.data(), len, out, &why);
            stream_consume(conn, len);
            return ok;
        }
        if (result != STREAM_AGAIN)
            return false;
        pollfd p{conn.fd, POLLIN, 0};
        poll(&p, 1, -1);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: ax_mem_peer SOCKET BASE ROWS\n");
        return 2;
    }
    stream_address address;
    snmp_oid* base_oid = make_obj_id_from_dot(argv[2]);
    ax_oid base;
    if (!stream_parse_address(argv[1], &address) || base_oid == nullptr || !ax_oid_from_snmp(&base, base_oid))
        return 2;
    int rows = std::atoi(argv[3]);
    auto add = [&](std::vector<uint32_t> tail, uint32_t value) {
        entry e{base, value};
        for (uint32_t id : tail)
            e.name.ids[e.name.n++] = id;
        objects.push_back(e);
    };
    add({1, 0}, 42);
    for (uint32_t c = 1; c <= 3; ++c)
        for (uint32_t r = 1; r <= static_cast<uint32_t>(rows); ++r)
            add({2, 1, c, r}, r * 10 + c);
    std::sort(objects.begin(), objects.end(), [](const entry& a, const entry& b) { return ax_oid_cmp(a.name, b.name) < 0; });

    if (stream_open(conn, address, AX_MAX_PDU) != STREAM_OK || stream_wait_connected(conn, 5000) != STREAM_OK) {
        std::fprintf(stderr, "ax_mem_peer: %s\n", conn.info);
        return 1;
    }
    std::vector<uint8_t> pdu;
    ax_pdu in;
    ax_build_open(pdu, header(AX_PDU_OPEN), 0, ax_oid{}, "memory-only AgentX peer");
    if (!send_pdu(pdu) || !next_pdu(&in) || in.error != 0)
        return 1;
    session_id = in.h.session_id;
    pdu.clear();
    ax_build_registration(pdu, header(AX_PDU_REGISTER), 0, AX_PRIORITY_DEFAULT, base);
    if (!send_pdu(pdu) || !next_pdu(&in) || in.error != 0)
        return 1;
    std::printf("registered\n");
    std::fflush(stdout);
    while (next_pdu(&in)) {
        if (in.h.type != AX_PDU_GET && in.h.type != AX_PDU_GET_NEXT)
            continue;
        std::vector<ax_varbind> list;
        for (const ax_search_range& range : in.ranges)
            list.push_back(answer(range, in.h.type == AX_PDU_GET_NEXT));
        ax_header h = in.h;
        h.type = AX_PDU_RESPONSE;
        pdu.clear();
        ax_build_response(pdu, h, 0, 0, 0, list);
        if (!send_pdu(pdu))
            return 1;
    }
    return 0;
}
