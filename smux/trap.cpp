// Trap relay: the UNIX mail of the trap text, the varbind list of a trap
// (host name, enterprise value, the listed items) and its delivery to the
// master agent and the management board.
#include "smux/trap.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfg/cfg.h"
#include "cfg/scan.h"
#include "lib/coding.h"
#include "lib/lib.h"
#include "lib/log.h"
#include "mail/board.h"
#include "mail/mail_format.h"
#include "smux/master.h"
#include "smux/syntax.h"
#include "snmp/mib.h"
#include "store/obj.h"

namespace {

int board_sender(std::int32_t trap_number, const snmp_varbind* list)
{
    return board_send_trap(trap_number, list);
}

trap_sender snmp_sender = send_snmp_trap;
trap_sender board_sender_fn = board_sender;

// Host name, read at the first trap (and again while it comes out empty).
char sysname[TRAP_SYSNAME_SIZE];

// Enterprise value, looked up until a lookup succeeds or finds no community.
std::int32_t enterprise_value = 0;
bool enterprise_done = false;
std::string community_path = dsmux::COMMUNITY_FILE;
command_runner getone_runner = run_command;
std::string mail_su_prefix = dsmux::SU_PREFIX;
std::string mail_tmp_prefix = dsmux::MAIL_TMP_PREFIX;

// The number after "Value:" in getone's answer; false when it holds none
// that fits 32 bits.
bool parse_value(const char* text, std::int32_t* value)
{
    errno = 0;
    char* end = nullptr;
    long number = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return false;
    *value = static_cast<std::int32_t>(number);
    return true;
}

void lookup_enterprise_value()
{
    int trials = 0;
    char* community = find_community(community_path.c_str(), getone_runner, &trials);
    if (community == nullptr) {
        // No community in the file: the value stays 0 for the life of the
        // process. Communities that got no answer (the master agent down or
        // not answering yet) are tried again at the next trap.
        if (trials == 0)
            enterprise_done = true;
        return;
    }
    // The community comes from a file: it travels as one quoted shell word.
    std::string command = "getone 127.0.0.1 ";
    command += shell_quote(community);
    command += ' ';
    command += TRAP_ENTERPRISE_OID;
    free(community);

    char output[TRAP_GETONE_OUTPUT];
    output[0] = '\0';
    if (getone_runner(command.c_str(), output, sizeof output) != 0)
        return;
    const char* answer = strstr(output, "\nValue:");
    if (answer == nullptr)
        return;  // tried again at the next trap
    std::int32_t value = 0;
    if (parse_value(answer + strlen("\nValue:"), &value))
        enterprise_value = value;
    enterprise_done = true;
}

}  // namespace

void append_varbind(trap_varbinds* list, snmp_varbind* vb)
{
    vb->next = nullptr;
    if (list->head == nullptr) {
        list->head = vb;
    } else {
        list->tail->next = vb;
    }
    list->tail = vb;
}

int build_varbind_sysname(trap_varbinds* list)
{
    snmp_oid* name = make_obj_id_from_dot("sysName.0");
    if (name == nullptr)
        return -1;
    if (sysname[0] == '\0') {
        // Through run_command, so that a uname that hangs is killed within
        // its limit instead of holding the daemon.
        if (run_command("uname -n", sysname, sizeof sysname) != 0) {
            log_line(stderr, "Unable to execute uname\n");
            sysname[0] = '\0';
            free_oid(name);
            return -1;
        }
        sysname[strcspn(sysname, "\n")] = '\0';  // its first line
        std::size_t n = strlen(sysname);
        while (n > 0 && isspace(static_cast<unsigned char>(sysname[n - 1])))
            sysname[--n] = '\0';
    }
    snmp_octets* text = make_octet_from_text(sysname);
    if (text == nullptr) {
        log_line(stderr, "build_varbind_sysname: make_octet_from_text() failed\n");
        free_oid(name);
        return -1;
    }
    snmp_varbind* vb = make_varbind(name, SNMP_OCTET_STRING, 0, 0, text, nullptr);
    if (vb == nullptr)
        return -1;
    append_varbind(list, vb);
    return 0;
}

int build_varbind_enterprise(trap_varbinds* list)
{
    snmp_oid* name = make_obj_id_from_dot(TRAP_ENTERPRISE_OID);
    if (name == nullptr)
        return -1;
    if (!enterprise_done)
        lookup_enterprise_value();
    snmp_varbind* vb = make_varbind(name, SNMP_INTEGER, 0, enterprise_value, nullptr, nullptr);
    if (vb == nullptr)
        return -1;
    append_varbind(list, vb);
    return 0;
}

int build_varbind(trap_varbinds* list, const reg_object* object, const reg_item* item,
                  const unsigned char* value)
{
    char item_name[ITEM_NAME_MAX + 1];
    memcpy(item_name, item->name, ITEM_NAME_MAX);
    item_name[ITEM_NAME_MAX] = '\0';
    // The header holds at most OBJ_INDEX_MAX index values.
    if (object->index_count < 0 || object->index_count > static_cast<int>(OBJ_INDEX_MAX))
        return -1;

    snmp_oid* base = text2oid(item_name);
    if (base == nullptr)
        return TRAP_VB_UNKNOWN_NAME;
    int n = object->index_count != 0 ? object->index_count : 1;
    snmp_oid* name = oid_extend(base, n);
    free_oid(base);
    if (name == nullptr)
        return -1;
    if (object->index_count == 0) {
        name->ids[name->count - 1] = 0;
    } else {
        for (int i = 0; i < n; ++i)
            name->ids[name->count - n + i] = static_cast<std::uint32_t>(object->index[i]);
    }

    // The object type's syntax, so that a manager that loaded the MIB finds
    // the value of the type it expects.
    const object_type* type = text2obj(item_name);
    int syntax = trap_value_syntax(item, type != nullptr ? type->syntax : nullptr);
    std::uint32_t uval = 0;
    std::int32_t sval = 0;
    snmp_octets* octets = nullptr;
    snmp_oid* oid_value = nullptr;
    switch (item->type) {
    case ITEM_UNSIGNED:
    case ITEM_SIGNED:
        // INTEGER and TimeTicks take the signed value, Counter and Gauge
        // the unsigned one: the same 32 bits.
        uval = decode_fixed32(value);
        sval = decode_int32(value);
        break;
    case ITEM_STRING:
        octets = make_octet_from_text(reinterpret_cast<const char*>(value));
        if (octets == nullptr) {
            log_line(stderr, "build_varbind: make_octet_from_text() failed (1)\n");
            free_oid(name);
            return -1;
        }
        break;
    case ITEM_RAW:
        octets = make_octetstring(value, item->length);
        if (octets == nullptr) {
            log_line(stderr, "build_varbind: make_octetstring() failed (2)\n");
            free_oid(name);
            return -1;
        }
        break;
    case ITEM_OID:
        oid_value = make_obj_id_from_dot(reinterpret_cast<const char*>(value));
        if (oid_value == nullptr) {
            free_oid(name);
            return TRAP_VB_BAD_VALUE;
        }
        break;
    default:
        break;  // an unknown type travels as NULL
    }
    snmp_varbind* vb = make_varbind(name, syntax, uval, sval, octets, oid_value);
    if (vb == nullptr)
        return -1;
    append_varbind(list, vb);
    return 0;
}

int send_snmp_trap(std::int32_t trap_number, const snmp_varbind* list)
{
    // Whichever protocol carries the daemon sends it (and logs a failure).
    return master_send_trap(trap_number, list);
}

int mail_alarm_text(const char* text)
{
    qnode* cursor = alarm_Q;
    while (auto* entry = static_cast<alarm_entry*>(q_walk(&alarm_Q, &cursor))) {
        if (entry->kind != TOK_MAIL)
            continue;
        // Started and left to run: a slow command holds up neither requests nor a stop.
        if (mail_command_start(entry->command, text, mail_su_prefix.c_str(), mail_tmp_prefix.c_str()) == -1)
            return -1;
    }
    return 0;
}

int relay_trap(const unsigned char* body, std::size_t length)
{
    // read_mail has checked the extent already; a body that still does not
    // hold its fields is refused here rather than read beyond.
    mail_trap_view trap;
    if (mail_trap_read(body, length, MAIL_OFF_BODY, &trap) != MAIL_TRAP_OK)
        return -1;
    const char* text = trap.text;
    const std::uint32_t item_count = trap.item_count;
    const std::int32_t trap_number = trap.trap_number;
    const char* object_name = trap.object_name;

    // The UNIX mail goes out whatever becomes of the SNMP trap.
    if (char* line = line_dup(text)) {
        mail_alarm_text(line);
        free(line);
    }

    trap_varbinds list{nullptr, nullptr};
    auto fail = [&list]() {
        free_varbind_list(list.head);
        return -1;
    };
    if (build_varbind_sysname(&list) != 0)
        return fail();
    if (build_varbind_enterprise(&list) != 0)
        return fail();
    // An agent's mistake, or a value that cannot be read, must not cost the
    // whole alarm: the trap goes out with the varbinds that could be built,
    // and the log says what was left out and why.
    reg_object* object = item_count != 0 ? obj_read(object_name) : nullptr;
    if (item_count != 0 && object == nullptr)
        log_line(stderr, "%s: relay_trap: object %s cannot be read, its items left out of trap # %d\n",
                 dsmux::PROGRAM_NAME, object_name, trap_number);
    for (std::uint32_t i = 0; object != nullptr && i < item_count; ++i) {
        std::uint32_t index = mail_trap_item(trap, i);
        reg_item* item = index < object->item_count ? obj_item(object, static_cast<int>(index)) : nullptr;
        if (item == nullptr) {
            log_line(stderr, "%s: relay_trap: object %s has no item %u, left out of trap # %d\n",
                     dsmux::PROGRAM_NAME, object_name, index, trap_number);
            continue;
        }
        const char* why = nullptr;
        switch (build_varbind(&list, object, item, obj_value(item))) {
        case 0:
            continue;
        case TRAP_VB_UNKNOWN_NAME:
            why = "is not in the MIB definitions";
            break;
        case TRAP_VB_BAD_VALUE:
            why = "has a value that is no OID";
            break;
        default:
            why = "cannot be made a varbind";
            break;
        }
        log_line(stderr, "%s: relay_trap: item %.*s of object %s %s, left out of trap # %d\n", dsmux::PROGRAM_NAME,
                 static_cast<int>(ITEM_NAME_MAX - 1), item->name, object_name, why, trap_number);
    }

    if (list.head != nullptr) {
        snmp_sender(trap_number, list.head);
        board_sender_fn(trap_number, list.head);
        free_varbind_list(list.head);
    }
    return 0;
}

void trap_set_senders(trap_sender snmp, trap_sender board)
{
    snmp_sender = snmp != nullptr ? snmp : send_snmp_trap;
    board_sender_fn = board != nullptr ? board : board_sender;
}

void trap_set_enterprise_source(const char* path, command_runner runner)
{
    community_path = path != nullptr ? path : dsmux::COMMUNITY_FILE;
    getone_runner = runner != nullptr ? runner : run_command;
}

void trap_reset_caches()
{
    sysname[0] = '\0';
    enterprise_value = 0;
    enterprise_done = false;
}

void trap_set_mail_prefixes(const char* su_prefix, const char* tmp_prefix)
{
    mail_su_prefix = su_prefix != nullptr ? su_prefix : dsmux::SU_PREFIX;
    mail_tmp_prefix = tmp_prefix != nullptr ? tmp_prefix : dsmux::MAIL_TMP_PREFIX;
}
