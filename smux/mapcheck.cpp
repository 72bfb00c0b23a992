// Start-up warnings about registry map entries that are served as nothing.
#include "smux/mapcheck.h"

#include <cstdio>
#include <string>

#include "cfg/reg.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "lib/queue.h"
#include "smux/subtrees.h"
#include "snmp/mib.h"
#include "snmp/types.h"

using dsmux::PROGRAM_NAME;

namespace {

bool has_prefix(const snmp_oid* oid, const snmp_oid* prefix)
{
    if (oid == nullptr || prefix == nullptr || oid->count < prefix->count)
        return false;
    for (int i = 0; i < prefix->count; ++i)
        if (oid->ids[i] != prefix->ids[i])
            return false;
    return true;
}

// Whether the OID lies under one of the subtrees the daemon registers. The
// subtree rows are looked up here by name: at start-up the later rows get
// their OIDs only after the first row's initialisation has run.
bool under_served_subtree(const snmp_oid* oid)
{
    for (const subtree* row = subtrees; row->name != nullptr; ++row) {
        const object_type* root = text2obj(row->name);
        if (root != nullptr && has_prefix(oid, root->oid))
            return true;
    }
    return false;
}

// A table or its entry, not a column: it carries no value of its own
// (no syntax, or Aggregate) or other objects lie below it.
bool holds_no_value(const object_type* type)
{
    if (type->syntax == nullptr || type->syntax->tag == 0)
        return true;
    return type->next != nullptr && type->next->oid != nullptr && type->next->oid->count > type->oid->count &&
           has_prefix(type->next->oid, type->oid);
}

// "vdnStdEquipment, vdnSystemInfo, ..." from the subtree table.
std::string served_subtrees()
{
    std::string names;
    for (const subtree* row = subtrees; row->name != nullptr; ++row)
        names += (names.empty() ? "" : ", ") + std::string(row->name);
    return names;
}

}  // namespace

int registry_warnings()
{
    char defs[64];
    std::snprintf(defs, sizeof defs, "%s.defs", PROGRAM_NAME);
    int warnings = 0;
    qnode* cursor = registry_Q;
    while (const auto* entry = static_cast<const reg_entry*>(q_walk(&registry_Q, &cursor))) {
        const object_type* type = text2obj(entry->name);
        if (type == nullptr || type->oid == nullptr) {
            log_line_at(LOG_PRI_WARNING, stderr,
                        "%s: Registry entry %s is not in %s: it is served as nothing  (SMUX4040)\n", PROGRAM_NAME,
                        entry->name, defs);
        } else if (!under_served_subtree(type->oid)) {
            log_line_at(LOG_PRI_WARNING, stderr,
                        "%s: Registry entry %s lies outside the served subtrees (%s): it is served as "
                        "nothing  (SMUX4041)\n",
                        PROGRAM_NAME, entry->name, served_subtrees().c_str());
        } else if (entry->table_flag == TABLE && holds_no_value(type)) {
            log_line_at(LOG_PRI_WARNING, stderr,
                        "%s: Registry entry %s maps a table or its entry, not a column: map each column "
                        "instead; it is served as nothing  (SMUX4042)\n",
                        PROGRAM_NAME, entry->name);
        } else {
            continue;
        }
        ++warnings;
    }
    return warnings;
}
