// The pairs table and registry item access: the bridge between what the
// master asks for (MIB objects) and what the agents publish (object files).
#include "smux/pairs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg/reg.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "mail/connected.h"
#include "mail/mail.h"
#include "mail/mail_format.h"
#include "smux/syntax.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"
#include "snmp/types.h"

using dsmux::PROGRAM_NAME;

reg_entry* pairs_table = nullptr;
int pairs_count = 0;
queue pending_Q = nullptr;

namespace {

// See init_pending(); written through peer_set_init_pending by
// subtree_init only.
std::uint8_t init_state = INIT_PENDING;

reg_entry* entry_at(int position)
{
    if (pairs_table == nullptr || position < 0 || position >= pairs_count)
        return nullptr;
    return &pairs_table[position];
}

int index_count_of(const reg_entry* entry, const std::int32_t* index)
{
    return index == nullptr ? 0 : entry->index_count;
}

}  // namespace

void pairs_reset()
{
    std::free(pairs_table);
    pairs_table = nullptr;
    pairs_count = 0;
}

int build_pairs_table(const pairs_methods& methods)
{
    if (registry_count <= 0 || registry_Q == nullptr)
        return -1;
    // registry_count counts what was appended; the queue is what is left to
    // take, so size the table by the queue itself.
    int entries = 0;
    qnode* cursor = registry_Q;
    while (q_walk(&registry_Q, &cursor) != nullptr)
        ++entries;
    auto* table = static_cast<reg_entry*>(std::calloc(static_cast<std::size_t>(entries), sizeof(reg_entry)));
    if (table == nullptr) {
        log_line(stderr, "%s: Can't allocate memory for %s  (SMUX3033)\n", PROGRAM_NAME, "pairs table");
        return -1;
    }
    std::free(pairs_table);
    pairs_table = table;

    int taken = 0;
    while (taken < entries) {
        auto* source = static_cast<reg_entry*>(q_take(&registry_Q));
        if (source == nullptr)
            break;
        reg_entry* entry = &table[taken];
        std::snprintf(entry->name, sizeof entry->name, "%.*s", static_cast<int>(sizeof source->name - 1),
                      source->name);
        std::snprintf(entry->subpath, sizeof entry->subpath, "%.*s",
                      static_cast<int>(sizeof source->subpath - 1), source->subpath);
        entry->index_count = source->index_count;
        entry->table_flag = source->table_flag;
        entry->position = taken;
        entry->item_pos = -1;
        bool table_entry = entry->table_flag == TABLE;
        reg_method get = table_entry ? methods.table_get : methods.scalar_get;
        reg_method set = table_entry ? methods.table_set : methods.scalar_set;
        entry->get_method = get;
        entry->set_method = set;
        if (log_debug_enabled())
            std::printf("%d\t%20s %s\t%s\n", entry->position, entry->name, entry->subpath,
                        table_entry ? "TABLE" : "SCALAR");
        object_type* type = text2obj(entry->name);
        if (type != nullptr) {
            type->get = get;
            type->set = set;
            type->info = entry->position;
        }
        std::free(source);
        ++taken;
    }
    if (log_debug_enabled())
        std::fflush(stdout);
    registry_count = 0;
    pairs_count = taken;
    return 0;
}

// The object and item behind a pairs entry and an instance: 0, -1 for a
// position outside the table, -2 when no object or item answers.
static int find_item(int position, const std::int32_t* index, reg_entry** entry, reg_object** obj, reg_item** item)
{
    *entry = entry_at(position);
    if (*entry == nullptr)
        return -1;
    *obj = obj_lookup(*entry, index, index_count_of(*entry, index));
    if (*obj == nullptr)
        return -2;
    *item = obj_item(*obj, (*entry)->item_pos);
    return *item != nullptr ? 0 : -2;
}

int read_item(int position, const std::int32_t* index, item_value* out)
{
    reg_entry* entry;
    reg_object* obj;
    reg_item* item;
    if (int found = find_item(position, index, &entry, &obj, &item); found != 0)
        return found;
    // obj_lookup only hands out objects that passed obj_valid, so the value
    // lies inside the object; `avail` lets the encoder stay inside it too.
    const unsigned char* value = obj_value(item);
    const auto* base = reinterpret_cast<const unsigned char*>(obj);
    if (value < base || value > base + obj->length)
        return -2;
    out->obj = obj;
    out->item = item;
    out->value = value;
    out->avail = static_cast<std::size_t>(base + obj->length - value);
    return item->state != STATE_DISABLED ? 0 : -1;
}

int write_item(int position, const std::int32_t* index, const void* value, std::size_t length)
{
    reg_entry* entry;
    reg_object* obj;
    reg_item* item;
    if (int found = find_item(position, index, &entry, &obj, &item); found != 0)
        return found == -1 ? SNMP_GEN_ERR : SNMP_NO_CREATION;
    if (item->state == STATE_DISABLED)
        return SNMP_NO_CREATION;
    if (item->access == ACCESS_RD)
        return SNMP_NOT_WRITABLE;
    // A value is never cut: the agent would store what nobody asked for.
    if (int fit = set_value_fit(item, length); fit != SNMP_NO_ERROR)
        return fit;
    // Only an agent can take a set: mailbox 1 would send it to the daemon
    // itself, which would take it for a command of its own.
    if (obj->mbox <= SERVICE_MBOX) {
        log_line(stderr, "%s: Refused set of %.*s: owner mailbox %d is no agent's  (SMUX3019)\n", PROGRAM_NAME,
                 static_cast<int>(OBJ_NAME_MAX - 1), obj->name, static_cast<int>(obj->mbox));
        return SNMP_GEN_ERR;
    }
    // An agent that has died would leave the master waiting out the whole
    // reply wait for an answer that cannot come; it is told at once.
    if (int dropped = 0; mail_agent_gone(obj->mbox, &dropped)) {
        if (dropped == 0)
            log_line(stderr, "%s: Refused set of %.*s: owner mailbox %d has no process  (SMUX3024)\n", PROGRAM_NAME,
                     static_cast<int>(OBJ_NAME_MAX - 1), obj->name, static_cast<int>(obj->mbox));
        return SNMP_GEN_ERR;
    }

    // Texts travel with their terminator, so the agent can use them as is.
    std::size_t send_length = set_value_size(item, length);
    std::size_t mail_length = MAIL_SET_BASE + send_length;
    // The queue layer hands the kernel L bytes counted from offset 4, so a
    // sender's buffer spans four bytes more than the mail. calloc leaves
    // the terminator of a text in place after the value.
    auto* mail = static_cast<unsigned char*>(std::calloc(1, mail_length + 4));
    if (mail == nullptr)
        return SNMP_GEN_ERR;
    if (length > 0)
        std::memcpy(mail + MAIL_OFF_DATA, value, length);

    mail_put_field(mail, MAIL_OFF_OWNER_MBOX, obj->mbox);
    std::snprintf(reinterpret_cast<char*>(mail + MAIL_OFF_OBJECT_NAME), OBJ_NAME_MAX, "%.*s",
                  static_cast<int>(OBJ_NAME_MAX - 1), obj->name);
    mail_put_field(mail, MAIL_OFF_PHASE, 1);
    mail_put_field(mail, MAIL_OFF_MAIL_LENGTH, static_cast<std::int32_t>(mail_length));
    mail_put_field(mail, MAIL_OFF_ITEM_INDEX, entry->item_pos);

    // Refused, unanswered or not sent: the value did not take.
    if (post_mail(obj->mbox, MAIL_SET, mail, mail_length, true) != 0) {
        std::free(mail);
        return SNMP_WRONG_VALUE;
    }
    if (q_add(&pending_Q, mail) == nullptr) {
        std::free(mail);
        return SNMP_GEN_ERR;
    }
    return SNMP_NO_ERROR;
}

const std::int32_t* table_instance(int position, const std::uint32_t* subids, int length, int* count, int mode)
{
    reg_entry* entry = entry_at(position);
    if (entry == nullptr)
        return nullptr;
    return obj_select_index(entry, subids, length, count, mode);
}

void flush_pending_sets(bool commit)
{
    while (auto* mail = static_cast<unsigned char*>(q_take(&pending_Q))) {
        std::int32_t owner = mail_get_field(mail, MAIL_OFF_OWNER_MBOX);
        // An agent that died since its phase 1 would only cost a reply wait.
        if (commit && !mail_agent_gone(owner)) {
            std::int32_t mail_length = mail_get_field(mail, MAIL_OFF_MAIL_LENGTH);
            mail_put_field(mail, MAIL_OFF_PHASE, 2);
            (void)post_mail(owner, MAIL_SET, mail, static_cast<std::size_t>(mail_length), true);
        }
        std::free(mail);
    }
}

int sync_vdn(int command)
{
    switch (command) {
    case SMUX_COMMIT:
        flush_pending_sets(true);
        return 0;
    case SMUX_ROLLBACK:
        flush_pending_sets(false);
        return 0;
    default:
        log_line(stderr, "%s: %s: Unknown command: %d  (SMUX4014)\n", PROGRAM_NAME, "sync_vdn", command);
        return -1;
    }
}

std::uint8_t init_pending() { return init_state; }

void peer_set_init_pending(std::uint8_t value) { init_state = value; }
