// The daemon's identity, its MIB definitions and the subtree rows.
#include "smux/peer.h"

#include <cstdio>
#include <cstring>

#include "lib/log.h"
#include "mail/agents.h"
#include "smux/service.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"

using dsmux::PROGRAM_NAME;

namespace {

// The peers-file entry, looked up once and used at every open.
snmp_oid* identity = nullptr;
char password[SMUX_PEER_TEXT_MAX + 1] = "";
bool have_password = false;

}  // namespace

void peer_set_credentials(const snmp_oid* id, const char* text)
{
    free_oid(identity);
    identity = id ? oid_cpy(id) : nullptr;
    std::snprintf(password, sizeof password, "%s", text ? text : "");
    have_password = text != nullptr;
}

const snmp_oid* peer_identity() { return identity; }

const char* peer_password() { return password; }

bool peer_has_password() { return have_password; }

smux_peer* peer_find_entry(const char* peers_file)
{
    smux_peer* entry = getsmuxEntrybyname(PROGRAM_NAME, peers_file);
    if (entry == nullptr)
        log_line(stderr, "%s: Can't find \"%s\" in %s  (SMUX4016)\n", PROGRAM_NAME, PROGRAM_NAME, peers_file);
    return entry;
}

bool peer_load_definitions()
{
    char defs[SMUX_PEER_TEXT_MAX + 1];
    std::snprintf(defs, sizeof defs, "%s.defs", PROGRAM_NAME);
    if (readobjects(defs) == 0) {
        // Packages add object types of their own in a directory beside it.
        (void)read_definition_fragments(defs);
        return true;
    }
    log_line(stderr, "%s: Can't find or interpret MIB file: %s  (SMUX4017)\n", PROGRAM_NAME, defs);
    return false;
}

const object_type* peer_subtree_type(const subtree* row)
{
    const object_type* type = text2obj(row->name);
    if (type != nullptr && type->oid != nullptr)
        return type;
    log_line(stderr, "%s: Can't convert text to object: %s  (SMUX4010)\n", PROGRAM_NAME, row->name);
    return nullptr;
}

void peer_identify(const char* peers_file, bool peers_needed)
{
    // Over AgentX the socket's permissions decide who may connect: the
    // peers file only lends its identity, when it has the entry.
    smux_peer* entry = peers_needed ? peer_find_entry(peers_file) : getsmuxEntrybyname(PROGRAM_NAME, peers_file);
    if (entry == nullptr && peers_needed)
        terminate_service();
    if (entry != nullptr) {
        peer_set_credentials(entry->identity, entry->password);
    } else {
        snmp_oid* fallback = make_obj_id_from_dot(PEER_DEFAULT_IDENTITY);
        peer_set_credentials(fallback, nullptr);
        free_oid(fallback);
    }
    if (!peer_load_definitions())
        terminate_service();
}

void peer_init_subtrees()
{
    for (subtree* row = subtrees; row->name != nullptr; ++row) {
        const object_type* type = peer_subtree_type(row);
        if (type == nullptr)
            terminate_service();
        free_oid(row->oid);
        row->oid = oid_cpy(type->oid);
        (void)subtree_init();
    }
}
