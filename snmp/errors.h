// How the SMUX library reports a failure: besides the routine's -1 or null,
// a code in smux_errno and a detail text in smux_info. The session routines
// (snmp/smux_session.h) set both; loading the MIB (snmp/mib.h) leaves its
// "file:line: reason" in smux_info.
#pragma once

// smux_errno values. -6 is the one a caller must treat specially: nothing
// could complete yet, keep the descriptor and wait again.
inline constexpr int SMUX_ERR_NONE = 0;
inline constexpr int SMUX_ERR_SYSTEM = -1;       // a system call failed; smux_info names it and errno's text
inline constexpr int SMUX_ERR_PDU_FORMAT = -2;   // the master sent bytes that are not a well-formed PDU
inline constexpr int SMUX_ERR_TOO_BIG = -3;      // the PDU would exceed what the master can take
inline constexpr int SMUX_ERR_NOT_OPEN = -4;     // no association (never made, closed, or lost)
inline constexpr int SMUX_ERR_INVALID = -5;      // a bad argument (null record, unencodable OID, ...)
inline constexpr int SMUX_ERR_IN_PROGRESS = -6;  // would block: connection not made yet, or no whole PDU yet

// Last failure of a SMUX routine (SMUX_ERR_*) and its detail text.
extern int smux_errno;
extern char smux_info[256];

// Text of an smux_errno value; never null.
const char* smux_error(int error);
