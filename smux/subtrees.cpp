// The subtree table and its OIDs.
#include "smux/subtrees.h"

#include "smux/pairs.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"

subtree subtrees[SUBTREE_COUNT + 1] = {
    {"vdnStdEquipment", nullptr, SMUX_REG_READ_WRITE, sync_vdn},
    {"vdnSystemInfo", nullptr, SMUX_REG_READ_WRITE, sync_vdn},
    {"vdnHealth", nullptr, SMUX_REG_READ_WRITE, sync_vdn},
    {"vdnSm2", nullptr, SMUX_REG_READ_WRITE, sync_vdn},
    {nullptr, nullptr, 0, nullptr},
};

subtree* row_with_oid(subtree* row)
{
    while (row->name != nullptr && row->oid == nullptr)
        ++row;
    return row;
}

int peer_resolve_subtrees()
{
    int resolved = 0;
    for (subtree* row = subtrees; row->name != nullptr; ++row) {
        free_oid(row->oid);
        row->oid = nullptr;
        object_type* type = text2obj(row->name);
        if (type != nullptr && type->oid != nullptr) {
            row->oid = oid_cpy(type->oid);
            ++resolved;
        }
    }
    return resolved;
}
