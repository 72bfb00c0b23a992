// Request dispatch against real object files: gets by item type, get-next
// across object types and table rows, sets handed to the owning agent, and
// the error status and index of each refusal.
#include "smux/dispatch.h"

#include <gtest/gtest.h>

#include "lib/log.h"
#include "tests/mail/private_queue.h"
#include "tests/smux/daemon_fixture.h"

using namespace smux_test;

namespace {

class dispatch_test : public registry_test {};

TEST_F(dispatch_test, get_encodes_each_item_type)
{
    struct row {
        const char* suffix;
        int syntax;
        std::int32_t sval;
        std::uint32_t uval;
        std::string octets;
        std::string oid;
    } rows[] = {
        {".1.0", SNMP_COUNTER, 7, 7, "", ""},
        {".2.0", SNMP_INTEGER, -5, static_cast<std::uint32_t>(-5), "", ""},
        {".3.0", SNMP_OCTET_STRING, 0, 0, "hi", ""},
        {".4.0", SNMP_OCTET_STRING, 0, 0, std::string("\x01\xab\x00", 3), ""},
        {".5.0", SNMP_OBJECT_ID, 0, 0, "", "1.3.6.1.4.1.9"},
    };
    for (const row& r : rows) {
        answered a = ask(SMUX_OP_GET, SCALARS + r.suffix);
        SCOPED_TRACE(r.suffix);
        EXPECT_EQ(a.status, SNMP_NO_ERROR);
        EXPECT_EQ(a.index, 0);
        EXPECT_EQ(a.syntax, r.syntax);
        if (r.syntax == SNMP_INTEGER) {
            EXPECT_EQ(a.sval, r.sval);
        }
        if (r.syntax == SNMP_COUNTER) {
            EXPECT_EQ(a.uval, r.uval);
        }
        EXPECT_EQ(a.octets, r.octets);
        EXPECT_EQ(a.oid, r.oid);
    }
}

TEST_F(dispatch_test, get_of_scalar_takes_any_single_instance_and_refuses_others)
{
    struct row {
        std::string name;
        int status;
    } rows[] = {
        {SCALARS + ".1.0", SNMP_NO_ERROR},      {SCALARS + ".1.5", SNMP_NO_ERROR},
        {SCALARS + ".1", SNMP_NO_SUCH_NAME},    {SCALARS + ".1.0.0", SNMP_NO_SUCH_NAME},
        {SCALARS + ".6.0", SNMP_NO_SUCH_NAME},  // disabled item
        {SCALARS + ".9.0", SNMP_NO_SUCH_NAME},  // item not in the object
        {SCALARS + ".8.0", SNMP_NO_SUCH_NAME},  // no method: not in the registry map
        {SCALARS + ".11.0", SNMP_TOO_BIG},      // more than the master can carry
        {"1.3.6.1.4.1.32473.11.7.9.0", SNMP_NO_SUCH_NAME},
    };
    for (const row& r : rows) {
        answered a = ask(SMUX_OP_GET, r.name);
        EXPECT_EQ(a.status, r.status) << r.name;
        EXPECT_EQ(a.index, r.status == SNMP_NO_ERROR ? 0 : 1) << r.name;
    }
}

TEST_F(dispatch_test, get_of_table_cell_needs_exactly_its_index)
{
    struct row {
        std::string name;
        int status;
        std::int32_t value;
    } rows[] = {
        {COL_A + ".2", SNMP_NO_ERROR, 200},       {COL_A + ".10", SNMP_NO_ERROR, 1000},
        {COL_A + ".9", SNMP_NO_SUCH_NAME, 0},     // disabled in that row
        {COL_A + ".3", SNMP_NO_SUCH_NAME, 0},     // no such row
        {COL_A, SNMP_NO_SUCH_NAME, 0},            // no index at all
        {COL_A + ".1.2", SNMP_NO_SUCH_NAME, 0},   // one value too many
        {TWO_INDEX + ".1.2", SNMP_NO_ERROR, 12},  {TWO_INDEX + ".2", SNMP_NO_SUCH_NAME, 0},
    };
    for (const row& r : rows) {
        answered a = ask(SMUX_OP_GET, r.name);
        EXPECT_EQ(a.status, r.status) << r.name;
        if (r.status == SNMP_NO_ERROR) {
            EXPECT_EQ(a.sval, r.value) << r.name;
        }
    }
}

TEST_F(dispatch_test, get_next_steps_through_scalars_skipping_what_cannot_answer)
{
    struct row {
        std::string asked;
        std::string answer;
    } rows[] = {
        {SCALARS + ".1", SCALARS + ".1.0"},
        {SCALARS + ".1.0", SCALARS + ".2.0"},
        {SCALARS, SCALARS + ".1.0"},            // a node above the objects
        {SCALARS + ".5.0", SCALARS + ".7.0"},   // disabled uOff is passed over
        {SCALARS + ".10.0", COL_A + ".2"},      // tooBig uBig is passed over
        {"1.3.6.1.4.1.32473.11.7", SCALARS + ".1.0"},
    };
    for (const row& r : rows) {
        answered a = ask(SMUX_OP_GET_NEXT, r.asked);
        EXPECT_EQ(a.status, SNMP_NO_ERROR) << r.asked;
        EXPECT_EQ(a.name, r.answer) << r.asked;
    }
}

TEST_F(dispatch_test, get_next_passes_objects_without_method_or_item_and_stops_at_an_encoding_error)
{
    // uUnbound has no method and uMissing no item; uOdd is reached, and its
    // undefined syntax cannot encode a value.
    answered a = ask(SMUX_OP_GET_NEXT, SCALARS + ".7.0");
    EXPECT_EQ(a.status, SNMP_GEN_ERR);
    EXPECT_EQ(a.index, 1);
    EXPECT_EQ(a.name, SCALARS + ".10.0");
}

TEST_F(dispatch_test, get_next_never_answers_before_the_name_asked)
{
    // A name inside the subtree but after every object of a group.
    answered a = ask(SMUX_OP_GET_NEXT, SCALARS + ".99");
    EXPECT_EQ(a.status, SNMP_NO_ERROR);
    EXPECT_EQ(a.name, COL_A + ".2");
}

// Walks with get-next from `start` while the answers stay under `prefix`.
std::vector<std::pair<std::string, std::string>> walk(const std::string& start, const std::string& prefix)
{
    std::vector<std::pair<std::string, std::string>> seen;
    std::string name = start;
    for (int i = 0; i < 50; ++i) {
        answered a = ask(SMUX_OP_GET_NEXT, name);
        if (a.status != SNMP_NO_ERROR || a.name.rfind(prefix, 0) != 0)
            break;
        std::string value = a.syntax == SNMP_OCTET_STRING ? a.octets : std::to_string(a.sval);
        seen.emplace_back(a.name.substr(prefix.size()), value);
        name = a.name;
    }
    return seen;
}

TEST_F(dispatch_test, walk_of_tables_goes_in_numeric_index_order_column_by_column)
{
    using seen = std::vector<std::pair<std::string, std::string>>;
    // uColA: row 9 is disabled, which ends the column; uColB: row 9 is too
    // big for the master and is passed over.
    EXPECT_EQ(walk("1.3.6.1.4.1.32473.11.7.3.1", "1.3.6.1.4.1.32473.11.7.3."),
              (seen{{"1.1.1.2", "200"},
                    {"1.1.2.2", "row2"},
                    {"1.1.2.10", "row10"},
                    {"2.1.1.1.1", "11"},
                    {"2.1.1.1.2", "12"},
                    {"2.1.1.2.1", "21"},
                    {"3.0", "99"}}));
}

TEST_F(dispatch_test, get_next_within_a_two_index_table)
{
    struct row {
        std::string asked;
        std::string answer;
    } rows[] = {
        {TWO_INDEX + ".1", TWO_INDEX + ".1.1"},      // a partial index
        {TWO_INDEX + ".1.2", TWO_INDEX + ".2.1"},
        {TWO_INDEX + ".1.1.7", TWO_INDEX + ".1.2"},  // a longer name
        {TWO_INDEX + ".2.1", AFTER + ".0"},
    };
    for (const row& r : rows)
        EXPECT_EQ(ask(SMUX_OP_GET_NEXT, r.asked).name, r.answer) << r.asked;
}

TEST_F(dispatch_test, get_next_after_an_index_beyond_every_row_moves_on_rather_than_back)
{
    // Sub-identifiers of 2^31 and more lie after every row index a table can
    // have; the answer must still come after the name asked.
    struct row {
        std::string asked;
        std::string answer;
    } rows[] = {
        {COL_A + ".3000000000", COL_B + ".2"},
        {COL_A + ".4294967295", COL_B + ".2"},
        {COL_A + ".2147483648.1", COL_B + ".2"},
        {TWO_INDEX + ".1.4294967295", TWO_INDEX + ".2.1"},
        {TWO_INDEX + ".2.2147483648", AFTER + ".0"},
    };
    for (const row& r : rows) {
        answered a = ask(SMUX_OP_GET_NEXT, r.asked);
        EXPECT_EQ(a.status, SNMP_NO_ERROR) << r.asked;
        EXPECT_EQ(a.name, r.answer) << r.asked;
    }
}

TEST_F(dispatch_test, get_next_after_a_name_with_many_sub_identifiers_past_the_index_finds_the_next_row)
{
    // Whatever follows a whole index only puts the name after that row.
    std::string tail;
    for (int i = 0; i < 12; ++i)
        tail += ".0";
    EXPECT_EQ(ask(SMUX_OP_GET_NEXT, TWO_INDEX + ".1.1" + tail).name, TWO_INDEX + ".1.2");
    EXPECT_EQ(ask(SMUX_OP_GET_NEXT, COL_B + ".2" + tail).name, COL_B + ".10");
}

TEST_F(dispatch_test, get_next_past_the_last_object_fails_with_no_such_name)
{
    answered a = ask(SMUX_OP_GET_NEXT, AFTER + ".0");
    EXPECT_EQ(a.status, SNMP_NO_SUCH_NAME);
    EXPECT_EQ(a.index, 1);
}

TEST_F(dispatch_test, first_failing_varbind_sets_status_and_index_and_stops)
{
    smux_request* request = request_for({SCALARS + ".1.0", SCALARS + ".6.0", SCALARS + ".2.0"});
    answer_request(request, SMUX_OP_GET);
    EXPECT_EQ(request->error_status, SNMP_NO_SUCH_NAME);
    EXPECT_EQ(request->error_index, 2);
    EXPECT_EQ(request->varbinds->value.syntax, SNMP_COUNTER);       // answered before
    EXPECT_EQ(request->varbinds->next->next->value.syntax, SNMP_NULL);  // never reached
    free_request(request);
}

TEST_F(dispatch_test, successful_request_keeps_its_status_and_gets_index_zero)
{
    smux_request* request = request_for({SCALARS + ".1.0", SCALARS + ".2.0"});
    request->error_status = 4;
    request->error_index = 9;
    answer_request(request, SMUX_OP_GET);
    EXPECT_EQ(request->error_status, 4);
    EXPECT_EQ(request->error_index, 0);
    free_request(request);
}

TEST_F(dispatch_test, pending_initialisation_refuses_every_request_without_walking)
{
    peer_set_init_pending(INIT_PENDING);
    for (int op : {SMUX_OP_GET, SMUX_OP_GET_NEXT})
        EXPECT_EQ(ask(op, SCALARS + ".1.0").status, SNMP_NO_SUCH_NAME) << op;
    EXPECT_EQ(set_status(SCALARS + ".2.0", SNMP_INTEGER, 1, 1, nullptr, nullptr), SNMP_NO_SUCH_NAME);
}

// The instance of a dotted name, as dispatch finds it.
object_instance* instance_of(const std::string& dotted)
{
    snmp_oid* name = make_obj_id_from_dot(dotted.c_str());
    object_instance* inst = name2inst(name);
    free_oid(name);
    return inst;
}

TEST_F(dispatch_test, wrong_codes_give_gen_err)
{
    object_instance* inst = instance_of(SCALARS + ".1.0");
    ASSERT_NE(inst, nullptr);
    snmp_varbind* vb = make_varbind(oid_cpy(inst->name), SNMP_NULL, 0, 0, nullptr, nullptr);
    EXPECT_EQ(scalar_get(inst, vb, SMUX_OP_SET), SNMP_GEN_ERR);
    EXPECT_EQ(scalar_get(inst, vb, 99), SNMP_GEN_ERR);
    free_inst(inst);
    inst = instance_of(COL_A + ".2");
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(table_get(inst, vb, SMUX_OP_SET), SNMP_GEN_ERR);
    free_inst(inst);
    free_varbind_list(vb);
}

TEST_F(dispatch_test, debug_flag_traces_scalar_gets_on_stdout)
{
    log_debug_set(1);
    testing::internal::CaptureStdout();
    ask(SMUX_OP_GET, SCALARS + ".1.0");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("sys/scalars: "), std::string::npos) << out;
    EXPECT_NE(out.find("uCount"), std::string::npos) << out;
    EXPECT_NE(out.find("UNSIGNED"), std::string::npos) << out;
}

// Sets, with a mailbox queue of the test's own standing in for the agents.
class set_test : public dispatch_test {
 protected:
    void SetUp() override
    {
        dispatch_test::SetUp();
        mailbox_.start();
    }
    void TearDown() override
    {
        mailbox_.stop();
        dispatch_test::TearDown();
    }
    void answer(std::int32_t command, std::int32_t from = agent_mbox()) { mailbox_.answer(command, from); }
    // The value bytes of the set mail the agent at `mbox` received.
    std::string value_sent(std::int32_t mbox = agent_mbox())
    {
        auto raw = mail_test::take_raw(mailbox_.qid(), mbox);
        if (!raw)
            return "<none>";
        // The kernel's text starts at the mail's offset 4.
        // L counts four bytes after the value (MAIL_SET_BASE = 260 + 4).
        return std::string(raw->begin() + (MAIL_OFF_DATA - 4), raw->end() - 8);
    }
    service_mailbox mailbox_;
};

TEST_F(set_test, values_are_taken_by_their_syntax)
{
    std::int32_t minus_two = -2;
    std::uint32_t big = 0x80000001u;
    auto bytes = [](const void* p, std::size_t n) { return std::string(static_cast<const char*>(p), n); };
    const std::string integer = bytes(&minus_two, 4);
    const std::string gauge = bytes(&big, 4);

    answer(MAIL_ACK);
    EXPECT_EQ(set_status(SCALARS + ".2.0", SNMP_INTEGER, -2, 0, nullptr, nullptr), SNMP_NO_ERROR);
    EXPECT_EQ(value_sent(), integer);
    answer(MAIL_ACK);
    EXPECT_EQ(set_status(SCALARS + ".1.0", SNMP_COUNTER, 0, big, nullptr, nullptr), SNMP_NO_ERROR);
    EXPECT_EQ(value_sent(), gauge);
    answer(MAIL_ACK);
    EXPECT_EQ(set_status(SCALARS + ".4.0", SNMP_OCTET_STRING, 0, 0, make_octetstring("\x07\x00\x08", 3), nullptr),
              SNMP_NO_ERROR);
    EXPECT_EQ(value_sent(), std::string("\x07\x00\x08", 3));
    answer(MAIL_ACK);
    EXPECT_EQ(set_status(SCALARS + ".5.0", SNMP_OBJECT_ID, 0, 0, nullptr, make_obj_id_from_dot("1.3.6.1.2")),
              SNMP_NO_ERROR);
    EXPECT_EQ(value_sent(), std::string("1.3.6.1.2\0", 10));
}

TEST_F(set_test, refusals_map_to_their_statuses)
{
    int index = 0;
    // Another syntax than the object's (wrongType), a value its item cannot
    // hold whole (wrongLength): badValue in a v1 answer.
    EXPECT_EQ(set_status(SCALARS + ".2.0", SNMP_IPADDRESS, 0, 0, make_octetstring("\x7f\0\0\1", 4), nullptr, &index),
              SNMP_BAD_VALUE);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(set_status(COL_B + ".2", SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_BAD_VALUE);
    EXPECT_EQ(set_status(SCALARS + ".3.0", SNMP_OCTET_STRING, 0, 0, make_octetstring("abcd", 4), nullptr),
              SNMP_BAD_VALUE);
    EXPECT_EQ(set_status(SCALARS + ".7.0", SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_NO_SUCH_NAME);  // read-only
    EXPECT_EQ(set_status(SCALARS + ".6.0", SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_NO_SUCH_NAME);  // disabled
    EXPECT_EQ(set_status(COL_A + ".3", SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_NO_SUCH_NAME);      // no row
    EXPECT_EQ(set_status(COL_A, SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_NO_SUCH_NAME);             // no index
    EXPECT_EQ(mail_test::take_raw(mailbox_.qid(), 0), std::nullopt) << "nothing may reach an agent";

    answer(MAIL_NAK);
    EXPECT_EQ(set_status(SCALARS + ".2.0", SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_BAD_VALUE);
    EXPECT_EQ(pending_Q, nullptr);
}

TEST_F(set_test, object_without_syntax_is_reported_and_refused)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_status(SCALARS + ".10.0", SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_GEN_ERR);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("dorsrvsmuxd: syntax undefined for object \"uOdd\"  (SMUX4015)\n"), std::string::npos) << err;
}

TEST_F(set_test, unanswered_set_gives_bad_value)
{
    mail_set_reply_wait(1);
    EXPECT_EQ(set_status(SCALARS + ".2.0", SNMP_INTEGER, 1, 0, nullptr, nullptr), SNMP_BAD_VALUE);
    EXPECT_EQ(pending_Q, nullptr);
}

TEST_F(set_test, response_that_cannot_be_sent_shuts_the_daemon_down)
{
    EXPECT_EXIT(
        {
            terminate_set_pause(0);
            smux_request* request = request_for({SCALARS + ".1.0"});
            peer_respond(request, SMUX_OP_GET);
        },
        testing::ExitedWithCode(1), "dorsrvsmuxd: smux_response: .*  \\(SMUX4004\\)");
}

}  // namespace
