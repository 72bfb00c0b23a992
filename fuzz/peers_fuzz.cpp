// Arbitrary bytes as the SMUX peers file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "snmp/peers.h"
#include "snmp/types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static char path[64] = "";
    if (path[0] == '\0') {
        snprintf(path, sizeof path, "/tmp/peers_fuzz.%d", static_cast<int>(getpid()));
        atexit([] { unlink(path); });
    }
    FILE* f = fopen(path, "w");
    if (f == nullptr)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    smux_peer* peer = getsmuxEntrybyname("dorsrvsmuxd", path);
    if (peer != nullptr) {
        char text[SNMP_DOT_TEXT_SIZE];
        make_dot_from_obj_id(peer->identity, text);
    }
    return 0;
}
