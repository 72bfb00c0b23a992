// Request dispatch: each varbind of a get, get-next or set goes to the method
// that the pairs table installed on its MIB object, and the filled-in request
// goes back to the master.
#pragma once
#include "smux/pairs.h"
#include "snmp/mib.h"
#include "snmp/types.h"

// Answers one request (op SMUX_OP_GET, _GET_NEXT or _SET) and sends the
// response; a failing send shuts the daemon down (SMUX4004).
void dispatch_request(smux_request* request, int op);

// Fills in the request without sending it: error status and index set, the
// varbinds' values (and, for get-next, names) written. Used by
// dispatch_request; tests call it to look at the answer.
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
