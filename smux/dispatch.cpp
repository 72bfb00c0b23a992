// Request dispatch and the object methods: values are read afresh from the
// agents' object files at every request, and sets are handed to the owning
// agent by mail.
#include "smux/dispatch.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cfg/cfg.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "smux/pairs.h"
#include "smux/syntax.h"
#include "snmp/smux_pdu.h"
#include "store/obj.h"
#include "store/reg_watch.h"

using dsmux::PROGRAM_NAME;

namespace {

int entry_position(const object_instance* inst)
{
    return static_cast<int>(inst->type->info);
}

// Replaces the varbind's name by `name` (taking it over).
void replace_name(snmp_varbind* vb, snmp_oid* name)
{
    free_oid(vb->name);
    vb->name = name;
}

// Encodes the item's value into the varbind by the item's type.
int encode_item(object_instance* inst, snmp_varbind* vb, const item_value& found)
{
    const reg_item* item = found.item;
    switch (item->type) {
    case ITEM_UNSIGNED:
        return o_longword(inst, vb, static_cast<std::int64_t>(obj_value_unsigned(item)));
    case ITEM_SIGNED:
        return o_longword(inst, vb, static_cast<std::int64_t>(obj_value_signed(item)));
    case ITEM_STRING: {
        auto text = reinterpret_cast<const char*>(found.value);
        return o_string(inst, vb, text, strnlen(text, found.avail));
    }
    case ITEM_RAW: {
        std::size_t length = item->length < found.avail ? item->length : found.avail;
        return o_string(inst, vb, found.value, length);
    }
    case ITEM_OID: {
        auto text = reinterpret_cast<const char*>(found.value);
        std::string dotted(text, strnlen(text, found.avail));
        if (dotted.empty())
            return SNMP_BAD_VALUE;
        snmp_oid* oid = make_obj_id_from_dot(dotted.c_str());
        if (oid == nullptr)
            return SNMP_BAD_VALUE;
        int result = o_specific(inst, vb, oid);
        free_oid(oid);
        return result;
    }
    default:
        return SNMP_NO_SUCH_NAME;
    }
}

// The value bytes of a set by the varbind's syntax: not `ok` when the
// syntax carries nothing an item can take, or an OID whose text is too long
// to send. `scratch` holds converted values.
enum class set_bytes { ok, no_such_name, too_long };

set_bytes value_bytes(const snmp_value& value, std::string& scratch, const void** bytes, std::size_t* length)
{
    switch (value.syntax) {
    case SNMP_INTEGER:
    case SNMP_TIMETICKS:
        scratch.assign(reinterpret_cast<const char*>(&value.sval), sizeof value.sval);
        break;
    case SNMP_COUNTER:
    case SNMP_GAUGE:
        scratch.assign(reinterpret_cast<const char*>(&value.uval), sizeof value.uval);
        break;
    case SNMP_OCTET_STRING:
    case SNMP_IPADDRESS:
    case SNMP_OPAQUE:
        if (value.octets != nullptr && value.octets->len > 0)
            scratch.assign(reinterpret_cast<const char*>(value.octets->bytes), value.octets->len);
        else
            scratch.clear();
        break;
    case SNMP_OBJECT_ID: {
        if (value.oid == nullptr)
            return set_bytes::no_such_name;
        snmp_oid* copy = oid_cpy(value.oid);
        char dotted[SNMP_DOT_TEXT_SIZE];
        int converted = make_dot_from_obj_id(copy, dotted, sizeof dotted);
        free_oid(copy);
        // An OID whose text does not fit cannot be sent faithfully.
        if (converted != 0)
            return set_bytes::too_long;
        scratch.assign(dotted);
        break;
    }
    default:
        return set_bytes::no_such_name;
    }
    *bytes = scratch.data();
    *length = scratch.size();
    return set_bytes::ok;
}

// Index values for a get or set of a table column: the instance must name
// exactly one row (as many sub-identifiers after the column as the table
// has index values), so that no other row answers for it.
const std::int32_t* exact_index(const object_instance* inst, int position)
{
    const reg_entry& entry = pairs_table[position];
    int n = entry.index_count;
    const snmp_oid* name = inst->name;
    if (n <= 0 || n > OBJ_SELECT_MAX || name->count != inst->type->oid->count + n)
        return nullptr;
    int count = 0;
    return table_instance(position, name->ids, name->count, &count, IDX_EXACT);
}

bool position_valid(int position)
{
    return pairs_table != nullptr && position >= 0 && position < pairs_count;
}

int set_value(object_instance* inst, snmp_varbind* vb, int position, const std::int32_t* index)
{
    if (inst->type->syntax == nullptr) {
        log_line(stderr, "%s: syntax undefined for object \"%s\"  (SMUX4015)\n", PROGRAM_NAME,
                 inst->type->descriptor ? inst->type->descriptor : "");
        return SNMP_GEN_ERR;
    }
    // A value of another syntax would reach the agent as bytes it cannot
    // tell from a value of the right one.
    if (int typed = set_syntax_status(inst->type->syntax, vb->value.syntax); typed != SNMP_NO_ERROR)
        return typed;
    std::string scratch;
    const void* bytes = nullptr;
    std::size_t length = 0;
    switch (value_bytes(vb->value, scratch, &bytes, &length)) {
    case set_bytes::no_such_name: return SNMP_NO_SUCH_NAME;
    case set_bytes::too_long: return SNMP_WRONG_LENGTH;
    case set_bytes::ok: break;
    }
    return write_item(position, index, bytes, length);
}

// True when a get-next may answer from `type`: its OID comes after the asked
// name, or prefixes it (the object then decides which instance follows).
bool may_follow(const object_type* type, const snmp_oid* asked)
{
    if (oid_cmp(type->oid, asked) > 0)
        return true;
    const snmp_oid* own = type->oid;
    return own->count <= asked->count && std::memcmp(own->ids, asked->ids, own->count * sizeof(std::uint32_t)) == 0;
}

// The next object type after `type` that has a get method and may answer a
// get-next of `asked`, as an instance named by its own OID; null at the end.
object_instance* walk_on(const object_type* type, const snmp_oid* asked)
{
    for (object_type* next = type->next; next != nullptr; next = next->next)
        if (next->get != nullptr && next->oid != nullptr && may_follow(next, asked))
            return type2inst(next);
    return nullptr;
}

// The instance a get-next starts from. The deepest MIB node above the name
// serves when it has a get method; otherwise the first object type after the
// name does, so that the answer never goes back before the name asked.
object_instance* first_for_get_next(const snmp_oid* name)
{
    object_instance* inst = name2inst(name);
    if (inst != nullptr && inst->type->get != nullptr)
        return inst;
    free_inst(inst);
    return next2inst(name);
}

}  // namespace

int dispatch_varbind(snmp_varbind* vb, int op)
{
    if (op == SMUX_OP_GET || op == SMUX_OP_SET) {
        object_instance* inst = name2inst(vb->name);
        object_method method = nullptr;
        if (inst != nullptr)
            method = op == SMUX_OP_GET ? inst->type->get : inst->type->set;
        if (method == nullptr) {
            free_inst(inst);
            return SNMP_NO_SUCH_NAME;
        }
        int result = method(inst, vb, op);
        free_inst(inst);
        return result;
    }

    // Get-next: keep the name asked, since the methods rewrite vb->name.
    snmp_oid* asked = oid_cpy(vb->name);
    if (asked == nullptr)
        return SNMP_GEN_ERR;
    object_instance* inst = first_for_get_next(asked);
    int result = SNMP_NO_SUCH_NAME;
    while (inst != nullptr) {
        if (inst->type->get != nullptr) {
            result = inst->type->get(inst, vb, op);
            if (result != -1)
                break;
        }
        object_instance* next = walk_on(inst->type, asked);
        free_inst(inst);
        inst = next;
        result = SNMP_NO_SUCH_NAME;
    }
    free_inst(inst);
    free_oid(asked);
    return result;
}

bool dispatch_serves_object(const snmp_oid* name)
{
    object_instance* inst = name2inst(name);
    bool served = inst != nullptr && inst->type->get != nullptr && oid_cmp(inst->type->oid, name) < 0;
    free_inst(inst);
    return served;
}

namespace {

void debug_item(const item_value& found)
{
    if (!log_debug_enabled())
        return;
    std::printf("%s: ", found.obj->name);
    std::fflush(stdout);
    obj_dump_item(stdout, found.item);
}

// Row index values are signed 32-bit numbers, so a sub-identifier of 2^31 or
// more in the index part would turn negative in the row search and find a
// row before the name asked. Such a sub-identifier lies after every index
// value there is: from it on, the largest value stands in for the name.
void clamp_index(snmp_oid* name, int column)
{
    for (int i = column; i < name->count; ++i) {
        if (name->ids[i] <= static_cast<std::uint32_t>(INT32_MAX))
            continue;
        for (int j = i; j < name->count; ++j)
            name->ids[j] = static_cast<std::uint32_t>(INT32_MAX);
        return;
    }
}

// Get-next of a table column from the instance name: the row after the
// name's index part (or the first row when the name is the column itself).
// A row whose value cannot pass through the master (tooBig) is passed over,
// so that a walk goes on with the rows after it.
int table_get_next(object_instance* inst, snmp_varbind* vb, int position)
{
    const reg_entry& entry = pairs_table[position];
    int n = entry.index_count;
    if (n <= 0 || n > OBJ_SELECT_MAX)
        return -1;
    int column = inst->type->oid->count;
    snmp_oid* from = oid_cpy(inst->name);
    if (from == nullptr)
        return -1;
    int result = -1;
    for (;;) {
        // Sub-identifiers after a whole index only place the name after that
        // row; the row search takes at most OBJ_SELECT_MAX of them, so they
        // are dropped rather than letting a long name end the column.
        if (int excess = from->count - column - n; excess > 0) {
            snmp_oid* cut = oid_extend(from, -excess);
            free_oid(from);
            from = cut;
            if (from == nullptr)
                break;
        }
        clamp_index(from, column);
        int d = from->count - column;
        int count = d;
        const std::int32_t* index =
            d > 0 ? table_instance(position, from->ids, from->count, &count, IDX_NEXT)
                  : table_instance(position, nullptr, 0, &count, IDX_FIRST);
        if (index == nullptr)
            break;
        std::int32_t values[OBJ_SELECT_MAX];
        std::memcpy(values, index, static_cast<std::size_t>(n) * sizeof values[0]);
        snmp_oid* name = oid_extend(inst->name, column + n - inst->name->count);
        if (name == nullptr)
            break;
        for (int i = 0; i < n; ++i)
            name->ids[column + i] = static_cast<std::uint32_t>(values[i]);
        replace_name(vb, name);

        item_value found{};
        if (read_item(position, values, &found) != 0)
            break;
        result = encode_item(inst, vb, found);
        if (result != SNMP_TOO_BIG)
            break;
        // Search on from the row just passed over.
        free_oid(from);
        from = oid_cpy(vb->name);
        result = -1;
        if (from == nullptr)
            break;
    }
    free_oid(from);
    return result;
}

}  // namespace

int scalar_get(object_instance* inst, snmp_varbind* vb, int op)
{
    if (init_pending() != 0)
        return SNMP_NO_SUCH_NAME;
    int position = entry_position(inst);
    int own = inst->type->oid->count;
    int asked = inst->name->count;
    if (op == SMUX_OP_GET) {
        if (asked != own + 1)
            return SNMP_NO_SUCH_NAME;
    } else if (op == SMUX_OP_GET_NEXT) {
        if (asked > own)
            return -1;
        snmp_oid* name = oid_extend(inst->name, 1);
        if (name == nullptr)
            return -1;
        replace_name(vb, name);
    } else {
        return SNMP_GEN_ERR;
    }
    item_value found{};
    if (read_item(position, nullptr, &found) != 0)
        return op == SMUX_OP_GET ? SNMP_NO_SUCH_NAME : -1;
    int result = encode_item(inst, vb, found);
    debug_item(found);
    // A value the master cannot carry is walked past rather than ending the
    // walk of the whole subtree.
    if (op == SMUX_OP_GET_NEXT && result == SNMP_TOO_BIG)
        return -1;
    return result;
}

int table_get(object_instance* inst, snmp_varbind* vb, int op)
{
    if (init_pending() != 0)
        return SNMP_NO_SUCH_NAME;
    int position = entry_position(inst);
    if (!position_valid(position))
        return op == SMUX_OP_GET_NEXT ? -1 : SNMP_NO_SUCH_NAME;
    if (op == SMUX_OP_GET_NEXT)
        return table_get_next(inst, vb, position);
    if (op != SMUX_OP_GET)
        return SNMP_GEN_ERR;
    const std::int32_t* index = exact_index(inst, position);
    if (index == nullptr)
        return SNMP_NO_SUCH_NAME;
    std::int32_t values[OBJ_SELECT_MAX];
    std::memcpy(values, index, static_cast<std::size_t>(pairs_table[position].index_count) * sizeof values[0]);
    item_value found{};
    if (read_item(position, values, &found) != 0)
        return SNMP_NO_SUCH_NAME;
    return encode_item(inst, vb, found);
}

int scalar_set(object_instance* inst, snmp_varbind* vb, int /*op*/)
{
    if (init_pending() != 0)
        return SNMP_NO_SUCH_NAME;
    return set_value(inst, vb, entry_position(inst), nullptr);
}

int table_set(object_instance* inst, snmp_varbind* vb, int /*op*/)
{
    if (init_pending() != 0)
        return SNMP_NO_SUCH_NAME;
    int position = entry_position(inst);
    if (!position_valid(position))
        return SNMP_NO_SUCH_NAME;
    const std::int32_t* index = exact_index(inst, position);
    if (index == nullptr)
        return SNMP_NO_SUCH_NAME;
    std::int32_t values[OBJ_SELECT_MAX];
    std::memcpy(values, index, static_cast<std::size_t>(pairs_table[position].index_count) * sizeof values[0]);
    return set_value(inst, vb, position, values);
}

void answer_request(smux_request* request, int op)
{
    int k = 1;
    for (snmp_varbind* vb = request->varbinds; vb != nullptr; vb = vb->next, ++k) {
        int result = dispatch_varbind(vb, op);
        if (result != 0) {
            // The methods may answer with a v2 status; the SMUX request is v1.
            request->error_status = snmp_v1_status(result);
            request->error_index = k;
            return;
        }
    }
    request->error_index = 0;
}

void dispatch_begin(int op)
{
    // Cache hook: whatever changed in the registry before this request is
    // forgotten before it is answered. A set waits for agents, which may
    // rewrite their objects meanwhile, so there every lookup looks for
    // changes itself.
    if (op != SMUX_OP_SET)
        reg_watch_begin_request();
}

void dispatch_end() { reg_watch_end_request(); }

pairs_methods dispatch_methods() { return {scalar_get, scalar_set, table_get, table_set}; }
