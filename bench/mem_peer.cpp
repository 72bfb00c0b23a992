// mem_peer: the floor of the SMUX hop for serve_bench: a minimal SMUX peer
// on our SMUX library that answers from memory, looking nothing up on disk.
//
//   mem_peer NAME PEERS_FILE SUBTREE ROWS
//
// Under SUBTREE S it serves S.1.0 (INTEGER 42) and a table S.2.1.C.R of
// three columns C and ROWS rows R (INTEGER R * 10 + C), finding the object
// of a get-next by a binary search. It prints "ready" once registered and
// ends on SIGTERM or when the master goes away.
#include <sys/select.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "snmp/errors.h"
#include "snmp/mib.h"
#include "snmp/peers.h"
#include "snmp/smux_pdu.h"
#include "snmp/smux_session.h"
#include "snmp/types.h"

namespace {

volatile sig_atomic_t stop_wanted = 0;
void on_term(int) { stop_wanted = 1; }

struct object {
    snmp_oid* name;
    int32_t value;
};
std::vector<object> objects;  // in OID order

snmp_oid* under(const snmp_oid* base, std::initializer_list<uint32_t> ids)
{
    snmp_oid* oid = oid_extend(base, static_cast<int>(ids.size()));
    int at = base->count;
    for (uint32_t id : ids)
        oid->ids[at++] = id;
    return oid;
}

// The first object whose name is after `name` (or equal, when `equal`).
const object* find(const snmp_oid* name, bool equal)
{
    auto it = std::lower_bound(objects.begin(), objects.end(), name,
                               [](const object& o, const snmp_oid* n) { return oid_cmp(o.name, n) < 0; });
    if (it != objects.end() && !equal && oid_cmp(it->name, name) == 0)
        ++it;
    if (it == objects.end() || (equal && oid_cmp(it->name, name) != 0))
        return nullptr;
    return &*it;
}

void answer(smux_event& ev)
{
    smux_request* req = ev.request;
    int index = 1;
    for (snmp_varbind* vb = req->varbinds; vb != nullptr; vb = vb->next, ++index) {
        const object* o = ev.op == SMUX_OP_SET ? nullptr : find(vb->name, ev.op == SMUX_OP_GET);
        if (o == nullptr) {
            req->error_status = ev.op == SMUX_OP_SET ? SNMP_READ_ONLY : SNMP_NO_SUCH_NAME;
            req->error_index = index;
            break;
        }
        if (ev.op == SMUX_OP_GET_NEXT) {
            free_oid(vb->name);
            vb->name = oid_cpy(o->name);
        }
        snmp_value_clear(&vb->value);
        vb->value.syntax = SNMP_INTEGER;
        vb->value.sval = o->value;
        vb->value.uval = static_cast<uint32_t>(o->value);
    }
    smux_response(req);
}

bool ready(int fd, bool for_write)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    return xselect(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, 1) > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: mem_peer NAME PEERS_FILE SUBTREE ROWS\n");
        return 64;
    }
    snmp_oid* subtree = make_obj_id_from_dot(argv[3]);
    int rows = std::atoi(argv[4]);
    smux_peer* entry = getsmuxEntrybyname(argv[1], argv[2]);
    if (subtree == nullptr || entry == nullptr || rows < 0)
        return 2;
    snmp_oid* identity = oid_cpy(entry->identity);
    std::string password = entry->password;

    struct sigaction sa{};
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    objects.push_back({under(subtree, {1, 0}), 42});
    for (uint32_t c = 1; c <= 3; ++c)
        for (int r = 1; r <= rows; ++r)
            objects.push_back({under(subtree, {2, 1, c, static_cast<uint32_t>(r)}), r * 10 + static_cast<int>(c)});

    int fd = smux_init(0);
    if (fd < 0)
        return 2;
    for (;;) {
        if (stop_wanted)
            return 0;
        if (!ready(fd, true))
            continue;
        if (smux_simple_open(identity, "memory peer", password.c_str(), static_cast<int>(password.size())) == 0)
            break;
        if (smux_errno != SMUX_ERR_IN_PROGRESS)
            return 2;
    }
    smux_register(subtree, -1, SMUX_REG_READ_ONLY);
    while (!stop_wanted) {
        if (smux_fd() < 0)
            return 3;
        if (!smux_pending() && !ready(smux_fd(), false))
            continue;
        smux_event ev{};
        if (smux_wait(&ev, 0) != 0) {
            if (smux_errno == SMUX_ERR_IN_PROGRESS)
                continue;
            return 3;
        }
        if (ev.op == SMUX_OP_REGISTER_RESPONSE) {
            std::printf("ready\n");
            std::fflush(stdout);
        } else if (ev.op == SMUX_OP_GET || ev.op == SMUX_OP_GET_NEXT || ev.op == SMUX_OP_SET) {
            answer(ev);
        } else if (ev.op == SMUX_OP_CLOSE) {
            return 0;
        }
    }
    smux_close(SMUX_GOING_DOWN);
    return 0;
}
