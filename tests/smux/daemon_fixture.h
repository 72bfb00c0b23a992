// Test support for the SMUX core: a small MIB of the daemon's shape, object
// files written byte by byte in a scratch registry, the pairs table built
// from registry entries, and requests made and answered in memory.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cfg/cfg.h"
#include "cfg/reg.h"
#include "lib/log.h"
#include "mail/agents.h"
#include "mail/mail.h"
#include "smux/dispatch.h"
#include "smux/pairs.h"
#include "smux/session.h"
#include "snmp/errors.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"
#include "snmp/types.h"
#include "store/obj.h"
#include "store/obj_format.h"
#include "tests/mail/private_queue.h"
#include "tests/smux/transports.h"
#include "tests/support/object_image.h"
#include "tests/support/stand_in.h"

namespace smux_test {

// The daemon's four subtrees and a few objects of each kind under them.
inline const char* const unit_defs =
    "vdnUnit enterprises.32473.11.7\n"
    "vdnStdEquipment vdnUnit.1\n"
    "vdnSystemInfo vdnUnit.2\n"
    "vdnHealth vdnUnit.3\n"
    "vdnSm2 vdnUnit.4\n"
    "uScalars vdnSystemInfo.1\n"
    "uCount uScalars.1 Counter read-write mandatory\n"
    "uLevel uScalars.2 INTEGER read-write mandatory\n"
    "uText uScalars.3 DisplayString read-write mandatory\n"
    "uRaw uScalars.4 OctetString read-write mandatory\n"
    "uOid uScalars.5 ObjectID read-write mandatory\n"
    "uOff uScalars.6 INTEGER read-write mandatory\n"
    "uReadOnly uScalars.7 INTEGER read-only mandatory\n"
    "uUnbound uScalars.8 INTEGER read-only mandatory\n"
    "uMissing uScalars.9 INTEGER read-only mandatory\n"
    "uOdd uScalars.10 Bogus read-write mandatory\n"
    "uBig uScalars.11 OctetString read-only mandatory\n"
    "uTable vdnHealth.1\n"
    "uEntry uTable.1\n"
    "uColA uEntry.1 INTEGER read-write mandatory\n"
    "uColB uEntry.2 DisplayString read-write mandatory\n"
    "u2Table vdnHealth.2\n"
    "u2Entry u2Table.1\n"
    "u2Val u2Entry.1 INTEGER read-only mandatory\n"
    "uAfter vdnHealth.3 INTEGER read-only mandatory\n";

inline const std::string SCALARS = "1.3.6.1.4.1.32473.11.7.2.1";
inline const std::string COL_A = "1.3.6.1.4.1.32473.11.7.3.1.1.1";
inline const std::string COL_B = "1.3.6.1.4.1.32473.11.7.3.1.1.2";
inline const std::string TWO_INDEX = "1.3.6.1.4.1.32473.11.7.3.2.1.1";
inline const std::string AFTER = "1.3.6.1.4.1.32473.11.7.3.3";

// The mailbox of the agent that owns the test objects (`row` 0) and of the
// owners of the table rows 2, 9 and 10: live stand-in processes.
inline std::int32_t agent_mbox(int row = 0)
{
    return live_mbox(row);
}

inline void load_unit_mib()
{
    if (text2obj("uAfter") == nullptr) {
        ASSERT_EQ(readobjects_from_buffer(unit_defs, std::strlen(unit_defs), "unit"), 0) << smux_info;
    }
}

struct item_def {
    std::string name;
    std::uint8_t type;
    std::vector<unsigned char> value;
    std::uint16_t size = 4;
    std::uint8_t access = ACCESS_RDWR;
    std::uint8_t state = STATE_ENABLED;
};

inline std::vector<unsigned char> u32(std::uint32_t v)
{
    return image_u32(v);
}

inline std::vector<unsigned char> text(const std::string& s)
{
    std::vector<unsigned char> b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

// Writes the object file `name` ("dir/file[.index]") under `registry` in the
// published layout: header, item records, then each value in its own slot
// of `size` bytes (the value cut or padded to it).
inline void write_object(const std::string& registry, const std::string& name, std::int32_t mbox,
                         const std::vector<item_def>& items, const std::vector<std::int32_t>& index = {})
{
    std::vector<image_item> laid;
    for (const item_def& def : items) {
        std::vector<unsigned char> slot = def.value;
        slot.resize(def.size, 0);
        laid.push_back({def.name, def.type, slot, def.size, static_cast<std::uint16_t>(def.value.size()), def.access,
                        def.state});
    }
    std::string path = registry + "/" + name;
    ASSERT_TRUE(write_object_file(path, object_image({name, path, mbox, index}, laid))) << path;
}

inline void add_registry_entry(const char* subpath, const char* name, std::uint8_t flag, std::int8_t index_count)
{
    auto* entry = static_cast<reg_entry*>(std::calloc(1, sizeof(reg_entry)));
    std::snprintf(entry->subpath, sizeof entry->subpath, "%s", subpath);
    std::snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->table_flag = flag;
    entry->index_count = index_count;
    ASSERT_NE(q_add(&registry_Q, entry), nullptr);
    ++registry_count;
}

// A registry of scalars, a one-index and a two-index table, and the pairs
// table over it, with the daemon ready to answer.
class registry_test : public ::testing::Test {
 protected:
    void SetUp() override
    {
        load_unit_mib();
        ASSERT_NE(getcwd(start_dir_, sizeof start_dir_), nullptr);
        char pattern[] = "/tmp/smux_registry.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        registry_ = pattern;
        write_objects();
        add_entries();
        ASSERT_EQ(build_pairs_table(dispatch_methods()), 0);
        obj_set_registry_dir(registry_.c_str());
        peer_set_init_pending(0);
        log_debug_set(0);
    }

    void TearDown() override
    {
        flush_pending_sets(false);
        obj_set_registry_dir(nullptr);
        peer_set_init_pending(INIT_PENDING);
        log_debug_set(0);
        ASSERT_EQ(chdir(start_dir_), 0);
        std::system(("rm -rf '" + registry_ + "'").c_str());
    }

    virtual void write_objects()
    {
        std::vector<unsigned char> big(1100, 0x5a);
        write_object(registry_, "sys/scalars", agent_mbox(),
                     {
                         {"uCount", ITEM_UNSIGNED, u32(7)},
                         {"uLevel", ITEM_SIGNED, u32(static_cast<std::uint32_t>(-5)), 4, ACCESS_WR},
                         {"uText", ITEM_STRING, text("hi"), 4},
                         {"uRaw", ITEM_RAW, {0x01, 0xab, 0x00}, 8},
                         {"uOid", ITEM_OID, text("1.3.6.1.4.1.9"), 32},
                         {"uOff", ITEM_SIGNED, u32(1), 4, ACCESS_RDWR, STATE_DISABLED},
                         {"uReadOnly", ITEM_SIGNED, u32(3), 4, ACCESS_RD},
                         {"uOdd", ITEM_SIGNED, u32(1)},
                         {"uBig", ITEM_RAW, big, 1100, ACCESS_RD},
                     });
        // Rows 2, 9 and 10: numeric order differs from the directory's.
        for (std::int32_t row : {2, 10, 9}) {
            std::string big_text(1100, 'x');
            write_object(registry_, "disk/diskTable." + std::to_string(row), agent_mbox(row),
                         {
                             {"uColA", ITEM_SIGNED, u32(static_cast<std::uint32_t>(row * 100)), 4, ACCESS_RDWR,
                              row == 9 ? STATE_DISABLED : STATE_ENABLED},
                             {"uColB", ITEM_STRING, text(row == 9 ? big_text : "row" + std::to_string(row)),
                              static_cast<std::uint16_t>(row == 9 ? 1101 : 16)},
                         },
                         {row});
        }
        for (auto [a, b] : {std::pair{2, 1}, {1, 2}, {1, 1}})
            write_object(registry_, "proc/procTable." + std::to_string(a) + "." + std::to_string(b), agent_mbox(),
                         {{"u2Val", ITEM_SIGNED, u32(static_cast<std::uint32_t>(a * 10 + b)), 4, ACCESS_RD}},
                         {a, b});
        write_object(registry_, "sys/after", agent_mbox(), {{"uAfter", ITEM_UNSIGNED, u32(99)}});
    }

    virtual void add_entries()
    {
        for (const char* name : {"uCount", "uLevel", "uText", "uRaw", "uOid", "uOff", "uReadOnly", "uMissing", "uOdd",
                                 "uBig", "uNotInMib"})
            add_registry_entry("sys/scalars", name, SCALAR, 0);
        add_registry_entry("disk/diskTable", "uColA", TABLE, 1);
        add_registry_entry("disk/diskTable", "uColB", TABLE, 1);
        add_registry_entry("proc/procTable", "u2Val", TABLE, 2);
        add_registry_entry("sys/after", "uAfter", SCALAR, 0);
    }

    std::string registry_;
    char start_dir_[PATH_MAX] = "";
};

// One-varbind request for `dotted`, answered in memory.
struct answered {
    int status;
    int index;
    std::string name;   // dotted name of the first varbind after the answer
    int syntax;
    std::int32_t sval;
    std::uint32_t uval;
    std::string octets;
    std::string oid;
};

inline smux_request* request_for(const std::vector<std::string>& names)
{
    snmp_varbind* head = nullptr;
    snmp_varbind** tail = &head;
    for (const std::string& n : names) {
        *tail = make_varbind(make_obj_id_from_dot(n.c_str()), SNMP_NULL, 0, 0, nullptr, nullptr);
        tail = &(*tail)->next;
    }
    return make_request(1, head);
}

inline answered describe(const smux_request* request, const snmp_varbind* vb)
{
    answered a{request->error_status, request->error_index, "", vb->value.syntax, vb->value.sval, vb->value.uval,
               "", ""};
    char dotted[SNMP_DOT_TEXT_SIZE];
    if (make_dot_from_obj_id(vb->name, dotted) == 0)
        a.name = dotted;
    if (vb->value.octets != nullptr)
        a.octets.assign(reinterpret_cast<const char*>(vb->value.octets->bytes), vb->value.octets->len);
    if (vb->value.oid != nullptr && make_dot_from_obj_id(vb->value.oid, dotted) == 0)
        a.oid = dotted;
    return a;
}

inline answered ask(int op, const std::string& dotted)
{
    smux_request* request = request_for({dotted});
    answer_request(request, op);
    answered a = describe(request, request->varbinds);
    free_request(request);
    return a;
}

// A set of one varbind carrying `value` (taken over).
inline int set_status(const std::string& dotted, int syntax, std::int32_t sval, std::uint32_t uval,
                      snmp_octets* octets, snmp_oid* oid, int* index = nullptr)
{
    smux_request* request =
        make_request(1, make_varbind(make_obj_id_from_dot(dotted.c_str()), syntax, uval, sval, octets, oid));
    answer_request(request, SMUX_OP_SET);
    int status = request->error_status;
    if (index != nullptr)
        *index = request->error_index;
    free_request(request);
    return status;
}

// The service's side of a set, for tests that send MAIL_SET to agents: a
// private queue opened as mailbox 1 and the daemon's alarm tick handler,
// both put back by stop() (call it from TearDown).
class service_mailbox {
 public:
    void start()
    {
        ASSERT_GE(queue_.open_as_service(), 0);
        struct sigaction action{};
        action.sa_handler = on_alarm;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(sigaction(SIGALRM, &action, &old_alarm_), 0);
        alarm_period = 1;
    }
    void stop()
    {
        alarm(0);
        sigaction(SIGALRM, &old_alarm_, nullptr);
        mail_drop_deferred();
        mail_set_reply_wait(MAIL_REPLY_WAIT);
        mbox_forget_service();
        mbox_rtype = -1;
    }
    int qid() const { return queue_.qid(); }
    // An agent's answer to the pending set; the daemon takes it only from
    // the mailbox the set went to.
    void answer(std::int32_t command, std::int32_t from = agent_mbox())
    {
        ASSERT_GT(mail_test::send(queue_.qid(), mail_test::mail_bytes(SERVICE_MBOX, from, command)), 0);
    }

 private:
    mail_test::private_queue queue_;
    struct sigaction old_alarm_{};
};

}  // namespace smux_test
