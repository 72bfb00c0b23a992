// Arbitrary text as a MIB definitions file, then the lookups over whatever
// loaded.
#include <cstddef>
#include <cstdint>

#include "snmp/mib.h"
#include "snmp/types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    mib_reset();
    if (readobjects_from_buffer(reinterpret_cast<const char*>(data), size, "fuzz") == 0) {
        snmp_oid* probe = make_obj_id_from_dot("1.3.6.1.4.1.32473.11");
        if (probe != nullptr) {
            free_inst(name2inst(probe));
            object_instance* next = next2inst(probe);
            for (int i = 0; next != nullptr && i < 64; ++i) {
                object_instance* after = next2inst(next->name);
                free_inst(next);
                next = after;
            }
            free_inst(next);
            free_oid(probe);
        }
    }
    return 0;
}
