// Request dispatch: each varbind of a get, get-next or set goes to the method
// that the pairs table installed on its MIB object. Which protocol brought
// the request and carries the answer back is not known here: the SMUX and
// AgentX sessions both answer through these routines.
#pragma once
#include "smux/pairs.h"
#include "snmp/mib.h"
#include "snmp/types.h"

// The bracket around one request (op SMUX_OP_GET, _GET_NEXT or _SET):
// whatever changed in the registry before a get or get-next is taken in
// before it is answered.
void dispatch_begin(int op);
void dispatch_end();

// Answers one varbind: writes its value (and, for get-next, its name).
// Returns 0, or the status it fails with: an SNMPv2 status where the
// methods know better than v1 (wrongType, notWritable, ...), and
// noSuchName for a get or set of nothing served (get-next: nothing after
// the name).
int dispatch_varbind(snmp_varbind* vb, int op);

// Whether `name` lies under an object type the daemon serves: a get that
// finds nothing there misses an instance, not an object.
bool dispatch_serves_object(const snmp_oid* name);

// Fills in a v1 request (error status and index set, the varbinds' values
// and, for get-next, names written) without sending it: the SMUX session's
// answer, and the tests' look at one.
void answer_request(smux_request* request, int op);

// The object methods (object_method). Each finds its pairs entry through the
// object type's info word. Get methods return 0, -1 (get-next: nothing at or
// after this name here) or an SNMP error status; set methods 0 or a status.
int scalar_get(object_instance* inst, snmp_varbind* vb, int op);
int table_get(object_instance* inst, snmp_varbind* vb, int op);
int scalar_set(object_instance* inst, snmp_varbind* vb, int op);
int table_set(object_instance* inst, snmp_varbind* vb, int op);

// The four methods above, for build_pairs_table to install.
pairs_methods dispatch_methods();
