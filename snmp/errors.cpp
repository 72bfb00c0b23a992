// The library's failure code and detail text, shared by the session and the
// MIB loader.
#include "snmp/errors.h"

int smux_errno = SMUX_ERR_NONE;
char smux_info[256] = "";

const char* smux_error(int error)
{
    switch (error) {
    case SMUX_ERR_NONE: return "no error";
    case SMUX_ERR_SYSTEM: return "system call failed";
    case SMUX_ERR_PDU_FORMAT: return "malformed PDU from the master agent";
    case SMUX_ERR_TOO_BIG: return "PDU too big for the master agent";
    case SMUX_ERR_NOT_OPEN: return "no SMUX association";
    case SMUX_ERR_INVALID: return "invalid argument";
    case SMUX_ERR_IN_PROGRESS: return "operation in progress";
    default: return "unknown SMUX error";
    }
}
