// Fuzzes request dispatch over object files with arbitrary bytes: whatever an
// agent leaves in the data registry, a get, get-next or set of the daemon's
// objects must answer without reading outside the object.
//
// Input: byte 0 picks the operation, byte 1 the name asked, byte 2 the set
// value's syntax; the rest is the object file, published as a scalar object
// and as row 3 of a one-index table.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfg/cfg.h"
#include "cfg/reg.h"
#include "mail/mbox.h"
#include "smux/dispatch.h"
#include "smux/pairs.h"
#include "smux/session.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"
#include "snmp/types.h"
#include "store/obj.h"

namespace {

const char* const defs =
    "vdnFuzz enterprises.32473.11.8\n"
    "fScalars vdnFuzz.1\n"
    "fUnsigned fScalars.1 Counter read-write mandatory\n"
    "fSigned fScalars.2 INTEGER read-write mandatory\n"
    "fString fScalars.3 DisplayString read-write mandatory\n"
    "fRaw fScalars.4 OctetString read-write mandatory\n"
    "fOid fScalars.5 ObjectID read-write mandatory\n"
    "fTable vdnFuzz.2\n"
    "fEntry fTable.1\n"
    "fColumn fEntry.1 DisplayString read-write mandatory\n"
    "fAfter vdnFuzz.3 INTEGER read-only mandatory\n";

const char* const names[] = {
    "1.3.6.1.4.1.32473.11.8.1.1.0", "1.3.6.1.4.1.32473.11.8.1.2.0", "1.3.6.1.4.1.32473.11.8.1.3.0",
    "1.3.6.1.4.1.32473.11.8.1.4.0", "1.3.6.1.4.1.32473.11.8.1.5.0", "1.3.6.1.4.1.32473.11.8.1",
    "1.3.6.1.4.1.32473.11.8.2.1.1", "1.3.6.1.4.1.32473.11.8.2.1.1.3", "1.3.6.1.4.1.32473.11.8",
};
const int syntaxes[] = {SNMP_INTEGER, SNMP_OCTET_STRING, SNMP_OBJECT_ID, SNMP_GAUGE, SNMP_IPADDRESS};

std::string registry;

void add_entry(const char* subpath, const char* name, std::uint8_t flag, std::int8_t count)
{
    auto* entry = static_cast<reg_entry*>(std::calloc(1, sizeof(reg_entry)));
    std::snprintf(entry->subpath, sizeof entry->subpath, "%s", subpath);
    std::snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->table_flag = flag;
    entry->index_count = count;
    q_add(&registry_Q, entry);
    ++registry_count;
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
}

snmp_varbind* varbind_for(const char* name, int syntax)
{
    snmp_oid* oid = make_obj_id_from_dot(name);
    switch (syntax) {
    case SNMP_OCTET_STRING:
        return make_varbind(oid, syntax, 0, 0, make_octet_from_text("value"), nullptr);
    case SNMP_OBJECT_ID:
        return make_varbind(oid, syntax, 0, 0, nullptr, make_obj_id_from_dot("1.3.6.1.4.1.9"));
    case SNMP_IPADDRESS:
        return make_varbind(oid, syntax, 0, 0, make_octetstring("\x7f\0\0\1", 4), nullptr);
    default:
        return make_varbind(oid, syntax, 7, -7, nullptr, nullptr);
    }
}

void remove_registry()
{
    std::system(("rm -rf '" + registry + "'").c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    readobjects_from_buffer(defs, std::strlen(defs), "fuzz");
    char pattern[] = "/tmp/dispatch_fuzz.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        std::abort();
    registry = pattern;
    std::atexit(remove_registry);
    mkdir((registry + "/sys").c_str(), 0755);
    mkdir((registry + "/tab").c_str(), 0755);
    for (const char* name : {"fUnsigned", "fSigned", "fString", "fRaw", "fOid"})
        add_entry("sys/scalars", name, SCALAR, 0);
    add_entry("tab/fTable", "fColumn", TABLE, 1);
    add_entry("sys/scalars", "fAfter", SCALAR, 0);
    if (build_pairs_table(dispatch_methods()) != 0)
        std::abort();
    obj_set_registry_dir(registry.c_str());
    peer_set_init_pending(0);
    mbox_forget_service();  // a set's mail cannot go out: the set fails with badValue
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    int op = data[0] % 3 == 0 ? SMUX_OP_GET : data[0] % 3 == 1 ? SMUX_OP_GET_NEXT : SMUX_OP_SET;
    const char* name = names[data[1] % (sizeof names / sizeof names[0])];
    int syntax = syntaxes[data[2] % (sizeof syntaxes / sizeof syntaxes[0])];
    write_file(registry + "/sys/scalars", data + 3, size - 3);
    write_file(registry + "/tab/fTable.3", data + 3, size - 3);
    smux_request* request = make_request(1, varbind_for(name, syntax));
    answer_request(request, op);
    free_request(request);
    flush_pending_sets(false);
    return 0;
}
