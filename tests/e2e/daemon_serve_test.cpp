// The daemon end to end: dorsrvsmuxd started in its own start directory,
// registered with snmpd over SMUX, serving the objects that a real agent
// (serve_agent, on the agent library, started by the daemon from its config)
// publishes, and passing sets to that agent over the real mailbox queue.
// Every request goes through net-snmp's command-line clients and snmpd.
// Further down: the daemon's own commands and start-up refusals (with
// daemon_agent), and the shipped install tree.
#include <fcntl.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "mail/mail_kernel.h"
#include "store/obj_format.h"
#include "tests/e2e/sandbox.h"
#include "tests/e2e/server_defs.h"
#include "tests/support/object_image.h"

using namespace dsmux::e2e;

namespace {

const std::string BASE = ".1.3.6.1.4.1.32473.11.2";
const std::string ONE = BASE + ".1.1";           // oneTable, one index
const std::string O1 = BASE + ".1.1.1.1";        // oCol1
const std::string O2 = BASE + ".1.1.1.2";        // oCol2
const std::string SYS = BASE + ".2";             // vdnSystemInfo: scalars
const std::string T_UNSIGNED = SYS + ".1";
const std::string T_SIGNED = SYS + ".2";
const std::string T_STRING = SYS + ".3";
const std::string T_RAW = SYS + ".4";
const std::string T_OID = SYS + ".5";
const std::string T_TICKS = SYS + ".6";
const std::string T_COUNTER = SYS + ".7";
const std::string T_READONLY = SYS + ".8";
const std::string T_IP = SYS + ".9";
const std::string T_OFF = SYS + ".10";           // a disabled item
const std::string H_A = BASE + ".3.1";           // vdnHealth
const std::string TWO = BASE + ".4.1";           // twoTable, two indexes
const std::string W1 = BASE + ".4.1.1.1";
const std::string W2 = BASE + ".4.1.1.2";
const std::string REGISTRY = "/opt/varden/server/registry";

const std::string DEFS = std::string(SERVER_SUBTREE_DEFS) + R"(-- an object of each kind in the four subtrees
oneTable         vdnStdEquipment.1
oneEntry         oneTable.1
oCol1            oneEntry.1      INTEGER        read-only   mandatory
oCol2            oneEntry.2      DisplayString  read-only   mandatory
tUnsigned        vdnSystemInfo.1 Gauge          read-write  mandatory
tSigned          vdnSystemInfo.2 INTEGER        read-write  mandatory
tString          vdnSystemInfo.3 DisplayString  read-write  mandatory
tRaw             vdnSystemInfo.4 OctetString    read-write  mandatory
tOid             vdnSystemInfo.5 ObjectID       read-write  mandatory
tTicks           vdnSystemInfo.6 TimeTicks      read-write  mandatory
tCounter         vdnSystemInfo.7 Counter        read-write  mandatory
tReadOnly        vdnSystemInfo.8 DisplayString  read-only   mandatory
tIp              vdnSystemInfo.9 IpAddress      read-write  mandatory
tOff             vdnSystemInfo.10 INTEGER       read-write  mandatory
hA               vdnHealth.1     INTEGER        read-only   mandatory
twoTable         vdnSm2.1
twoEntry         twoTable.1
wCol1            twoEntry.1      INTEGER        read-only   mandatory
wCol2            twoEntry.2      DisplayString  read-only   mandatory
)";

const char* REGISTRY_MIB = R"(registry = /opt/varden/server/registry
"sys/scalars" "tUnsigned" SCALAR
"sys/scalars" "tSigned"   SCALAR
"sys/scalars" "tString"   SCALAR
"sys/scalars" "tRaw"      SCALAR
"sys/scalars" "tOid"      SCALAR
"sys/scalars" "tTicks"    SCALAR
"sys/scalars" "tCounter"  SCALAR
"sys/scalars" "tReadOnly" SCALAR
"sys/scalars" "tIp"       SCALAR
"sys/scalars" "tOff"      SCALAR
"health/h"    "hA"        SCALAR
table_index = 1
"one/oneEntry" "oCol1" TABLE
"one/oneEntry" "oCol2" TABLE
table_index = 2
"two/twoEntry" "wCol1" TABLE
"two/twoEntry" "wCol2" TABLE
)";

// Items in this order: positions 0..9 in sys/scalars.
const char* LAYOUT = R"(registry /opt/varden/server/registry
object sys/scalars
item tUnsigned unsigned rdwr enabled 0 4000000000
item tSigned   signed   rdwr enabled 0 -42
item tString   string   rdwr enabled 16 hello world
item tRaw      raw      rdwr enabled 8 01ab00ff
item tOid      oid      rdwr enabled 64 1.3.6.1.4.1.32473.7.1
item tTicks    unsigned rdwr enabled 0 12345
item tCounter  unsigned rdwr enabled 0 77
item tReadOnly string   rd   enabled 16 fixed
item tIp       raw      rdwr enabled 4 7f000001
item tOff      signed   rdwr disabled 0 1
object health/h
item hA signed rd enabled 0 7
# rows 1, 2, 3, 10: numeric order differs from the directory's name order;
# oCol2 is disabled in row 3, which ends its column there
object one/oneEntry.1 1
item oCol1 signed rd enabled 0 101
item oCol2 string rd enabled 16 r1
object one/oneEntry.10 10
item oCol1 signed rd enabled 0 110
item oCol2 string rd enabled 16 r10
object one/oneEntry.2 2
item oCol1 signed rd enabled 0 102
item oCol2 string rd enabled 16 r2
object one/oneEntry.3 3
item oCol1 signed rd enabled 0 103
item oCol2 string rd disabled 16 r3
object two/twoEntry.1.1 1 1
item wCol1 signed rd enabled 0 11
item wCol2 string rd enabled 16 a11
object two/twoEntry.10.1 10 1
item wCol1 signed rd enabled 0 101
item wCol2 string rd enabled 16 a101
object two/twoEntry.1.2 1 2
item wCol1 signed rd enabled 0 12
item wCol2 string rd enabled 16 a12
object two/twoEntry.2.1 2 1
item wCol1 signed rd enabled 0 21
item wCol2 string rd enabled 16 a21
)";

// Lines of `text` that begin with `prefix`.
std::vector<std::string> lines_with(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class daemon_serve : public sandbox_test {
protected:
    std::string start_dir() const { return scratch() + "/server/etc/smux"; }
    std::string set_log() const { return scratch() + "/sets.log"; }
    std::string daemon_log() const { return log_path("daemon"); }

    // The install tree: start directory with config, registry.mib and the
    // definitions, mailcfg two levels up, the agent's description.
    void write_tree(const std::string& config, const std::string& registry_mib = REGISTRY_MIB,
                    const std::string& layout = LAYOUT)
    {
        ASSERT_TRUE(run({"mkdir", "-p", start_dir(), REGISTRY}).status == 0);
        // A daemon of an earlier test in this sandbox, killed, left its queue
        // behind; the IPC namespace is the sandbox's own.
        run({"ipcrm", "--all=msg"});
        ASSERT_TRUE(write_file(start_dir() + "/dorsrvsmuxd.defs", DEFS));
        ASSERT_TRUE(write_file(start_dir() + "/registry.mib", registry_mib));
        if (!config.empty()) {
            ASSERT_TRUE(write_file(start_dir() + "/config", config));
        }
        ASSERT_TRUE(write_file(scratch() + "/server/mailcfg", "debug = 0;\n"));
        ASSERT_TRUE(write_file(scratch() + "/layout", layout));
    }

    std::string agent_line(const std::string& answer) const
    {
        return "agent serve_agent " + scratch() + "/layout " + set_log() + " " + answer + ";\n";
    }

    void start_snmp()
    {
        snmpd_config conf;
        conf.agentx_package_timeouts = agentx_package_timeouts_;
        conf.extra_lines.push_back("override .1.3.6.1.4.1.32473.11.2.11.1.0 integer 7");
        write_snmpd_conf(conf);
        write_peers_file(std::string("dorsrvsmuxd ") + DEFAULT_IDENTITY + " " + DEFAULT_PASSWORD + "\n");
        ASSERT_GT(start_snmptrapd(), 0);
        ASSERT_GT(start_snmpd(), 0);
    }

    // The daemon in its start directory, agents along PATH; prefix (setpriv, a limit) before, options after it.
    pid_t start_daemon(const std::vector<std::string>& prefix = {}, std::vector<std::string> options = {})
    {
        if (!master_.empty())
            options.push_back("--master=" + master_);
        std::string command = "cd '" + start_dir() + "' && exec '" + bin_dir() + "/dorsrvsmuxd'";
        for (const std::string& option : options)
            command += " '" + option + "'";
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {"/bin/sh", "-c", command});
        const char* path = getenv("PATH");
        return spawn(argv, "daemon", {"PATH=" + bin_dir() + ":" + (path ? path : "/usr/bin:/bin")});
    }

    // Everything up: snmpd, the daemon, its agent's objects, the cold start.
    void start_all(const std::string& answer = "ack", const std::vector<std::string>& options = {})
    {
        write_tree(agent_line(answer));
        start_snmp();
        daemon_ = start_daemon({}, options);
        ASSERT_GT(daemon_, 0);
        ASSERT_TRUE(wait_for_line(daemon_log(), "published 10", milliseconds(20000)));
        ASSERT_TRUE(wait_for_cold_start());
    }

    bool wait_for_cold_start()
    {
        return wait_for_trap([](const trap_record& t) { return t.enterprise == ".1.3.6.1.4.1.32473" && t.generic == 0; },
                             milliseconds(20000))
            .has_value();
    }

    // A v1 snmpset (or `command`) of every varbind in `request`, one try of `seconds`.
    run_result client(const std::vector<std::string>& request, const std::string& command = "snmpset", int seconds = 30)
    {
        std::vector<std::string> argv = {command, "-v1", "-c", command == "snmpset" ? "private" : "public", "-On",
                                         "-m",    "",    "-t", std::to_string(seconds), "-r", "0", "127.0.0.1:161"};
        argv.insert(argv.end(), request.begin(), request.end());
        return run(argv, milliseconds(2000 * seconds + 6000));
    }

    // The set lines the agent has logged once the set's whole transaction
    // is over. snmpd may answer the client before it sends the commit, but it
    // serves the next request only after the transaction; the daemon takes
    // SMUX PDUs in order, and a phase-2 mail is answered (so logged) before
    // the daemon reads on. So once a get of one of our objects is answered,
    // every line is in the log.
    std::vector<std::string> sets()
    {
        auto settle = snmpget(H_A + ".0");
        EXPECT_EQ(settle.status, 0) << settle.err;
        return lines_with(read_file(set_log()), "set ");
    }

    // The daemon's queue, as anyone on the host finds it.
    static key_t queue_key() { return ftok("/opt/varden/server", 0x16324); }
    static int daemon_queue() { return msgget(queue_key(), 0); }

    // Queues a mail of `text_size` bytes of text (the header's sender and
    // command first) for `mbox`, without waiting: 0, or -1 with errno.
    static int queue_mail(int qid, long mbox, std::int32_t sender, std::int32_t command, size_t text_size = 12)
    {
        struct {
            long mtype;
            unsigned char text[8192];
        } message{};
        message.mtype = mbox;
        std::memcpy(message.text, &sender, 4);
        std::memcpy(message.text + 4, &command, 4);
        return msgsnd(qid, &message, text_size, IPC_NOWAIT);
    }

    // Fills the queue with mails for `mbox` until no more fit.
    static int fill_queue(long mbox)
    {
        int qid = daemon_queue();
        int queued = 0;
        while (qid >= 0 && queued < 100000 && queue_mail(qid, mbox, 0, 23, 264) == 0)
            ++queued;
        return queued;
    }

    // The pid of the one serve_agent the daemon started.
    pid_t agent_pid()
    {
        auto found = run({"pgrep", "-x", "serve_agent"});
        return found.status == 0 ? static_cast<pid_t>(std::stol(found.out)) : -1;
    }

    run_result ctl(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {bin_dir() + "/dorsrvctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, milliseconds(10000));
    }

    pid_t daemon_ = -1;
    std::string master_;                    // the daemon's --master value; empty: its default (SMUX)
    bool agentx_package_timeouts_ = true;  // false: snmpd at net-snmp's AgentX time-out (1 s, retries)
};

// What must hold over either protocol runs once over each (the parameter is --master).
using daemon_both = over_both_masters<daemon_serve>;
INSTANTIATE_TEST_SUITE_P(master, daemon_both, both_masters(), master_name);

// ---- registration, gets -------------------------------------------------

TEST_P(daemon_both, registers_four_subtrees_and_sends_cold_start_trap)
{
    start_all();
    // One object of each subtree answers through snmpd.
    for (const auto& [oid, value] : std::vector<std::pair<std::string, std::string>>{
             {O1 + ".1", "INTEGER: 101"}, {T_SIGNED + ".0", "INTEGER: -42"}, {H_A + ".0", "INTEGER: 7"},
             {W1 + ".1.2", "INTEGER: 12"}}) {
        auto answer = snmpget(oid);
        ASSERT_EQ(answer.status, 0) << oid << ": " << answer.err;
        EXPECT_EQ(value_of(answer), value) << oid;
    }
    auto cold = traps();
    ASSERT_FALSE(cold.empty());
    EXPECT_EQ(count_of(read_file(daemon_log()), "registration of"), 0u) << "a subtree was refused";
}

TEST_P(daemon_both, get_of_scalar_answers_any_single_instance_and_refuses_others)
{
    start_all();
    struct row {
        std::string oid;
        bool answers;
    };
    for (const row& r : std::vector<row>{{T_SIGNED + ".0", true},
                                         {T_SIGNED + ".5", true},
                                         {T_SIGNED, false},
                                         {T_SIGNED + ".0.0", false},
                                         {T_SIGNED + ".5.1", false},
                                         {T_OFF + ".0", false}}) {  // a disabled item
        auto answer = snmpget(r.oid);
        if (r.answers) {
            EXPECT_EQ(answer.status, 0) << r.oid << ": " << answer.err;
            EXPECT_EQ(value_of(answer), "INTEGER: -42") << r.oid;
        } else {
            EXPECT_NE(answer.status, 0) << r.oid << " answered " << answer.out;
            EXPECT_NE(answer.err.find("noSuchName"), std::string::npos) << r.oid << ": " << answer.err;
        }
    }
}

TEST_P(daemon_both, get_encodes_each_item_type_by_the_objects_syntax)
{
    start_all();
    for (const auto& [oid, value] : std::vector<std::pair<std::string, std::string>>{
             {T_UNSIGNED + ".0", "Gauge32: 4000000000"},
             {T_SIGNED + ".0", "INTEGER: -42"},
             {T_STRING + ".0", "STRING: \"hello world\""},
             {T_RAW + ".0", "Hex-STRING: 01 AB 00 FF "},
             {T_OID + ".0", "OID: .1.3.6.1.4.1.32473.7.1"},
             {T_TICKS + ".0", "Timeticks: (12345) 0:02:03.45"},
             {T_COUNTER + ".0", "Counter32: 77"},
             {T_IP + ".0", "IpAddress: 127.0.0.1"},
             {O2 + ".10", "STRING: \"r10\""},
             {W2 + ".10.1", "STRING: \"a101\""}}) {
        auto answer = snmpget(oid, "2c");
        ASSERT_EQ(answer.status, 0) << oid << ": " << answer.err;
        EXPECT_EQ(value_of(answer), value) << oid;
    }
}

// ---- get-next and walks ----------------------------------------------------

TEST_P(daemon_both, get_next_moves_from_each_object_to_the_next_in_mib_order)
{
    start_all();
    const std::vector<std::pair<std::string, std::string>> steps = {
        {T_UNSIGNED, T_UNSIGNED + ".0"},   // an object's own OID: its .0
        {T_UNSIGNED + ".0", T_SIGNED + ".0"},
        {T_SIGNED + ".0", T_STRING + ".0"},
        {T_STRING + ".0", T_RAW + ".0"},
        {T_RAW + ".0", T_OID + ".0"},
        {T_OID + ".0", T_TICKS + ".0"},
        {T_TICKS + ".0", T_COUNTER + ".0"},
        {T_COUNTER + ".0", T_READONLY + ".0"},
        {T_READONLY + ".0", T_IP + ".0"},
        {T_IP + ".0", H_A + ".0"},         // past the disabled tOff, into the next subtree
        {H_A + ".0", W1 + ".1.1"},         // scalar to the first row of a table
        {O1, O1 + ".1"},                   // a column's OID: its first row
        {O1 + ".3", O1 + ".10"},           // numeric, not name order
        {O1 + ".10", O2 + ".1"},           // last row: next column's first row
        {O2 + ".2", T_UNSIGNED + ".0"},    // disabled row 3 ends the column
        {W1 + ".1", W1 + ".1.1"},          // a partial index: its first row
        {W1 + ".1.2", W1 + ".2.1"},
        // Past our last object snmpd goes on with its own: the enterprise value.
        {W2 + ".10.1", BASE + ".11.1.0"},
    };
    for (const auto& [from, to] : steps) {
        auto answer = snmpgetnext(from, "2c");
        ASSERT_EQ(answer.status, 0) << from << ": " << answer.err;
        EXPECT_EQ(answer.out.substr(0, answer.out.find(" = ")), to) << "from " << from;
    }
}

TEST_P(daemon_both, walks_tables_in_numeric_index_order_and_stop_a_column_at_a_disabled_item)
{
    start_all();
    // Scalars: across object types, the disabled tOff left out.
    auto sys = snmpwalk(SYS, "2c");
    ASSERT_EQ(sys.status, 0) << sys.err;
    EXPECT_EQ(lines_with(sys.out, BASE),
              (std::vector<std::string>{T_UNSIGNED + ".0 = Gauge32: 4000000000", T_SIGNED + ".0 = INTEGER: -42",
                                        T_STRING + ".0 = STRING: \"hello world\"", T_RAW + ".0 = Hex-STRING: 01 AB 00 FF ",
                                        T_OID + ".0 = OID: .1.3.6.1.4.1.32473.7.1",
                                        T_TICKS + ".0 = Timeticks: (12345) 0:02:03.45", T_COUNTER + ".0 = Counter32: 77",
                                        T_READONLY + ".0 = STRING: \"fixed\"", T_IP + ".0 = IpAddress: 127.0.0.1"}));
    auto one = snmpwalk(ONE, "2c");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(lines_with(one.out, BASE), (std::vector<std::string>{
                                              O1 + ".1 = INTEGER: 101", O1 + ".2 = INTEGER: 102",
                                              O1 + ".3 = INTEGER: 103", O1 + ".10 = INTEGER: 110",
                                              O2 + ".1 = STRING: \"r1\"", O2 + ".2 = STRING: \"r2\""}));
    // A bulk walk over the four subtrees, on into snmpd's own objects, sees what a plain walk sees.
    auto all = snmpwalk(BASE, "2c");
    auto bulk = run({"snmpbulkwalk", "-v2c", "-c", "public", "-On", "-m", "", "-Cr25", "-t", "10", "-r", "0",
                     "127.0.0.1:161", BASE});
    ASSERT_EQ(bulk.status, 0) << bulk.err;
    EXPECT_EQ(lines_with(bulk.out, BASE), lines_with(all.out, BASE));
    EXPECT_FALSE(lines_with(all.out, BASE + ".11.1.0").empty()) << all.out;
    auto two = snmpwalk(TWO, "2c");
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(lines_with(two.out, BASE),
              (std::vector<std::string>{W1 + ".1.1 = INTEGER: 11", W1 + ".1.2 = INTEGER: 12", W1 + ".2.1 = INTEGER: 21",
                                        W1 + ".10.1 = INTEGER: 101", W2 + ".1.1 = STRING: \"a11\"",
                                        W2 + ".1.2 = STRING: \"a12\"", W2 + ".2.1 = STRING: \"a21\"",
                                        W2 + ".10.1 = STRING: \"a101\""}));
}

// ---- freshness: every change an agent makes shows at the next request -----

// Object file images as the daemon reads them, patched the way an agent
// would rewrite them.
std::string object_image(const std::string& name)
{
    return read_file(REGISTRY + "/" + name);
}

// The image with the SIGNED value of item `position` set to `value` and, for
// a row, its name, path and first index value set to `row`.
std::string patched(std::string image, int position, int32_t value, std::optional<int32_t> row = std::nullopt,
                    const std::string& name = "")
{
    reg_item item;
    size_t item_at = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * static_cast<size_t>(position);
    std::memcpy(&item, image.data() + item_at, sizeof item);
    std::memcpy(image.data() + item_at + static_cast<size_t>(item.value_offset), &value, sizeof value);
    if (row) {
        reg_object header;
        std::memcpy(&header, image.data(), sizeof header);
        header.index[0] = *row;
        std::snprintf(header.name, sizeof header.name, "%s", name.c_str());
        std::snprintf(header.path, sizeof header.path, "%s/%s", REGISTRY.c_str(), name.c_str());
        std::memcpy(image.data(), &header, sizeof header);
    }
    return image;
}

// Writes a whole file the way the agent library publishes: a hidden
// temporary file in the same directory, renamed over the object.
void publish_by_rename(const std::string& name, const std::string& image)
{
    std::string target = REGISTRY + "/" + name;
    size_t slash = target.rfind('/');
    std::string temporary = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".tmp";
    ASSERT_TRUE(write_file(temporary, image));
    ASSERT_EQ(std::rename(temporary.c_str(), target.c_str()), 0);
}

// Rewrites `length` bytes at `offset` of an object in place, as an agent
// that keeps its file open does.
void write_in_place(const std::string& name, const std::string& image, size_t offset, size_t length)
{
    int fd = open((REGISTRY + "/" + name).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, image.data() + offset, length, static_cast<off_t>(offset)), static_cast<ssize_t>(length));
    close(fd);
}

TEST_F(daemon_serve, every_change_to_the_registry_shows_at_the_next_request)
{
    start_all();
    auto get = [&](const std::string& oid) {
        // SNMPv1, where a missing object is an error (noSuchName).
        auto answer = snmpget(oid);
        return answer.status == 0 ? value_of(answer) : std::string("refused");
    };
    auto column = [&]() {
        auto walk = snmpwalk(O1, "2c");
        EXPECT_EQ(walk.status, 0) << walk.err;
        std::vector<std::string> rows;
        for (const std::string& line : lines_with(walk.out, O1 + "."))
            rows.push_back(line.substr(O1.size() + 1));
        return rows;
    };
    // Everything read once, so that whatever is kept would be served now.
    ASSERT_EQ(get(H_A + ".0"), "INTEGER: 7");
    ASSERT_EQ(column(), (std::vector<std::string>{"1 = INTEGER: 101", "2 = INTEGER: 102", "3 = INTEGER: 103",
                                                  "10 = INTEGER: 110"}));
    const std::string scalar = object_image("health/h");

    // Replaced by rename, twice within the same clock tick, same size.
    publish_by_rename("health/h", patched(scalar, 0, 8));
    EXPECT_EQ(get(H_A + ".0"), "INTEGER: 8");
    publish_by_rename("health/h", patched(scalar, 0, 9));
    publish_by_rename("health/h", patched(scalar, 0, 10));
    EXPECT_EQ(get(H_A + ".0"), "INTEGER: 10");

    // Rewritten in place: only the value's bytes change.
    reg_item item;
    std::memcpy(&item, scalar.data() + OBJ_HEADER_SIZE, sizeof item);
    size_t value_at = OBJ_HEADER_SIZE + static_cast<size_t>(item.value_offset);
    write_in_place("health/h", patched(scalar, 0, 11), value_at, 4);
    EXPECT_EQ(get(H_A + ".0"), "INTEGER: 11");
    write_in_place("health/h", patched(scalar, 0, 12), value_at, 4);
    EXPECT_EQ(get(H_A + ".0"), "INTEGER: 12");

    // Truncated: the object no longer holds together; then whole again.
    ASSERT_EQ(truncate((REGISTRY + "/health/h").c_str(), 100), 0);
    EXPECT_EQ(get(H_A + ".0"), "refused");
    std::string whole = patched(scalar, 0, 13);
    write_in_place("health/h", whole, 0, whole.size());
    EXPECT_EQ(get(H_A + ".0"), "INTEGER: 13");

    // Deleted, then created anew.
    ASSERT_EQ(unlink((REGISTRY + "/health/h").c_str()), 0);
    EXPECT_EQ(get(H_A + ".0"), "refused");
    ASSERT_TRUE(write_file(REGISTRY + "/health/h", patched(scalar, 0, 14)));
    EXPECT_EQ(get(H_A + ".0"), "INTEGER: 14");

    // A new row, a removed row, a renamed row.
    const std::string row = object_image("one/oneEntry.2");
    publish_by_rename("one/oneEntry.5", patched(row, 0, 105, 5, "one/oneEntry.5"));
    EXPECT_EQ(column(), (std::vector<std::string>{"1 = INTEGER: 101", "2 = INTEGER: 102", "3 = INTEGER: 103",
                                                  "5 = INTEGER: 105", "10 = INTEGER: 110"}));
    ASSERT_EQ(unlink((REGISTRY + "/one/oneEntry.2").c_str()), 0);
    EXPECT_EQ(get(O1 + ".2"), "refused");
    EXPECT_EQ(column(), (std::vector<std::string>{"1 = INTEGER: 101", "3 = INTEGER: 103", "5 = INTEGER: 105",
                                                  "10 = INTEGER: 110"}));
    ASSERT_EQ(std::rename((REGISTRY + "/one/oneEntry.10").c_str(), (REGISTRY + "/one/oneEntry.7").c_str()), 0);
    EXPECT_EQ(column(), (std::vector<std::string>{"1 = INTEGER: 101", "3 = INTEGER: 103", "5 = INTEGER: 105",
                                                  "7 = INTEGER: 110"}));

    // The whole table directory replaced by another one.
    ASSERT_EQ(run({"mkdir", REGISTRY + "/one.new"}).status, 0);
    ASSERT_TRUE(write_file(REGISTRY + "/one.new/oneEntry.4", patched(row, 0, 204, 4, "one/oneEntry.4")));
    ASSERT_TRUE(write_file(REGISTRY + "/one.new/oneEntry.6", patched(row, 0, 206, 6, "one/oneEntry.6")));
    ASSERT_EQ(std::rename((REGISTRY + "/one").c_str(), (REGISTRY + "/one.old").c_str()), 0);
    ASSERT_EQ(std::rename((REGISTRY + "/one.new").c_str(), (REGISTRY + "/one").c_str()), 0);
    EXPECT_EQ(get(O1 + ".1"), "refused");
    EXPECT_EQ(column(), (std::vector<std::string>{"4 = INTEGER: 204", "6 = INTEGER: 206"}));
    // The old directory is no longer read, whatever happens in it.
    publish_by_rename("one.old/oneEntry.1", patched(row, 0, 999, 1, "one/oneEntry.1"));
    EXPECT_EQ(column(), (std::vector<std::string>{"4 = INTEGER: 204", "6 = INTEGER: 206"}));
    // And the new one is watched: a value changed in it shows.
    publish_by_rename("one/oneEntry.6", patched(row, 0, 306, 6, "one/oneEntry.6"));
    EXPECT_EQ(get(O1 + ".6"), "INTEGER: 306");
}

// ---- sets ----------------------------------------------------------------

TEST_P(daemon_both, set_of_each_syntax_sends_the_exact_phase_one_and_two_mails)
{
    start_all();
    struct row {
        std::string oid, type, value;
        int item;
        std::string length, hex;  // of the value bytes the agent receives
    };
    const std::vector<row> rows = {
        {T_SIGNED + ".0", "i", "-5", 1, "4", "fbffffff"},
        {T_UNSIGNED + ".0", "u", "4000000001", 0, "4", "01286bee"},
        {T_TICKS + ".0", "t", "500", 5, "4", "f4010000"},
        {T_STRING + ".0", "s", "abc", 2, "4", "61626300"},
        // Exactly the item's 16 bytes with the NUL.
        {T_STRING + ".0", "s", "abcdefghijklmno", 2, "16", "6162636465666768696a6b6c6d6e6f00"},
        {T_RAW + ".0", "x", "0102", 3, "2", "0102"},
        {T_RAW + ".0", "d", "1.2.250", 3, "3", "0102fa"},
        {T_OID + ".0", "o", ".1.3.6.1.4.1.32473.9", 4, "20", "312e332e362e312e342e312e33323437332e3900"},
        {T_IP + ".0", "a", "10.0.0.1", 8, "4", "0a000001"},
    };
    for (const row& r : rows) {
        std::remove(set_log().c_str());
        auto answer = snmpset(r.oid, r.type, r.value);
        ASSERT_EQ(answer.status, 0) << r.oid << " " << r.type << " " << r.value << ": " << answer.err;
        std::string tail = "object=sys/scalars item=" + std::to_string(r.item) + " length=" + r.length + " hex=" + r.hex;
        EXPECT_EQ(sets(), (std::vector<std::string>{"set phase=1 " + tail, "set phase=2 " + tail}))
            << r.oid << " " << r.type << " " << r.value;
    }
    // Each mail is as long as its header and the value's own bytes, not the
    // item's size (the agent's output goes to the daemon's log).
    for (const char* mail : {"SET phase=1 object=sys/scalars item=1 mail_length=268 value=fbffffff",
                             "SET phase=2 object=sys/scalars item=1 mail_length=268 value=fbffffff",
                             "SET phase=1 object=sys/scalars item=3 mail_length=266 value=0102",
                             "SET phase=2 object=sys/scalars item=3 mail_length=266 value=0102"})
        EXPECT_TRUE(wait_for_line(daemon_log(), mail)) << mail;
}

// At net-snmp's AgentX time-out (1 s) snmpd resends a slow set; the daemon answers resends itself.
TEST_P(daemon_both, commit_sends_phase_two_in_varbind_order_and_a_slow_set_reaches_the_agent_once_per_phase)
{
    agentx_package_timeouts_ = false;
    start_all("text");
    auto answer = client({T_STRING + ".0", "s", "xy", T_SIGNED + ".0", "i", "3", T_RAW + ".0", "x", "aa"});
    ASSERT_EQ(answer.status, 0) << answer.err;
    EXPECT_EQ(sets(), (std::vector<std::string>{
                          "set phase=1 object=sys/scalars item=2 length=3 hex=787900",
                          "set phase=1 object=sys/scalars item=1 length=4 hex=03000000",
                          "set phase=1 object=sys/scalars item=3 length=1 hex=aa",
                          "set phase=2 object=sys/scalars item=2 length=3 hex=787900",
                          "set phase=2 object=sys/scalars item=1 length=4 hex=03000000",
                          "set phase=2 object=sys/scalars item=3 length=1 hex=aa",
                      }));
    std::remove(set_log().c_str());
    EXPECT_EQ(snmpset(T_STRING + ".0", "s", "slow").status, 0);  // the agent takes 3 s over phase 1
    const std::string slow = "object=sys/scalars item=2 length=5 hex=736c6f7700";
    EXPECT_EQ(sets(), (std::vector<std::string>{"set phase=1 " + slow, "set phase=2 " + slow}));
}

TEST_P(daemon_both, set_refusals_reach_snmpset_as_errors)
{
    start_all();
    // error: what a v1 client hears; v2: what a v2c client hears over AgentX (the daemon's own reason).
    struct row {
        std::string oid, type, value, error, v2 = "wrongType";
    };
    for (const row& r : std::vector<row>{
             {T_READONLY + ".0", "s", "x", "noSuchName", "notWritable"},
             {O1 + ".1", "i", "5", "noSuchName", "notWritable"},
             // Another syntax than the object's (every pair: tests/smux/syntax_test.cpp).
             {T_SIGNED + ".0", "x", "0a000000", "badValue"},
             {T_SIGNED + ".0", "u", "5", "badValue"},
             {T_STRING + ".0", "s", "abcdefghijklmnop", "badValue", "wrongLength"},
         }) {
        auto answer = snmpset(r.oid, r.type, r.value);
        EXPECT_NE(answer.status, 0) << r.oid << " " << r.type << " was set: " << answer.out;
        EXPECT_NE(answer.err.find(r.error), std::string::npos) << r.oid << " " << r.type << ": " << answer.err;
        if (GetParam() == "agentx") {
            auto v2 = snmpset(r.oid, r.type, r.value, "2c");
            EXPECT_NE(v2.err.find(r.v2), std::string::npos) << r.oid << " " << r.type << ": " << v2.err;
        }
    }
    // Refused by the daemon: the agent never heard of them.
    EXPECT_TRUE(sets().empty()) << read_file(set_log());
}

TEST_P(daemon_both, refused_or_unanswered_set_fails_with_bad_value_and_no_phase_two)
{
    // The agent refuses a value beginning "nak" and leaves one beginning
    // "silent" unanswered.
    start_all("text");
    auto refused = snmpset(T_STRING + ".0", "s", "nak");
    EXPECT_NE(refused.status, 0) << refused.out;
    EXPECT_NE(refused.err.find("badValue"), std::string::npos) << refused.err;
    const std::string nak_phase_one = "set phase=1 object=sys/scalars item=2 length=4 hex=6e616b00";
    EXPECT_EQ(sets(), (std::vector<std::string>{nak_phase_one}));
    // The daemon goes on serving, the old value in place.
    EXPECT_EQ(value_of(snmpget(T_STRING + ".0")), "STRING: \"hello world\"");

    // Unanswered: the daemon waits out its reply wait, then refuses.
    auto started = std::chrono::steady_clock::now();
    auto unanswered = snmpset(T_STRING + ".0", "s", "silent");
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_NE(unanswered.status, 0) << unanswered.out;
    EXPECT_NE(unanswered.err.find("badValue"), std::string::npos) << unanswered.err;
    EXPECT_GE(took, std::chrono::seconds(9));
    EXPECT_LT(took, std::chrono::seconds(25));
    EXPECT_EQ(sets(), (std::vector<std::string>{nak_phase_one,
                                                "set phase=1 object=sys/scalars item=2 length=7 hex=73696c656e7400"}));
    // And serves on after the reply wait.
    EXPECT_EQ(value_of(snmpget(T_STRING + ".0")), "STRING: \"hello world\"");
    EXPECT_EQ(value_of(snmpget(T_SIGNED + ".0")), "INTEGER: -42");
}

// ---- the mailbox queue under stress ----------------------------------------

TEST_F(daemon_serve, set_to_a_dead_agent_is_refused_at_once_and_its_full_queue_lets_shutdown_finish)
{
    start_all();
    pid_t agent = agent_pid();
    ASSERT_GT(agent, 0);
    ASSERT_EQ(kill(agent, SIGKILL), 0);
    ASSERT_TRUE(wait_until([&] { return kill(agent, 0) != 0; }, milliseconds(5000)));
    // What sets to the dead agent's objects would leave behind, to the brim.
    ASSERT_GT(fill_queue(agent), 0);
    // One try of 2 s: a set that waited for the dead agent would time out, and stall snmpd.
    auto set = std::async(std::launch::async, [&] { return client({T_SIGNED + ".0", "i", "9"}, "snmpset", 2); });
    auto name = std::async(std::launch::async, [&] { return client({".1.3.6.1.2.1.1.5.0"}, "snmpget", 2); });
    auto answer = set.get();
    EXPECT_NE(answer.status, 0) << answer.out;
    EXPECT_NE(answer.err.find("genErr"), std::string::npos) << answer.err;
    auto sysname = name.get();
    EXPECT_EQ(sysname.status, 0) << sysname.err;
    EXPECT_EQ(value_of(sysname), "STRING: \"sandbox\"");
    // The agent is dropped once, and the mail left for it is taken back.
    EXPECT_TRUE(wait_for_line(daemon_log(), "Disconnect agent:" + std::string(6, ' ') + "serve_agent", milliseconds(1000)));
    EXPECT_TRUE(wait_for_line(daemon_log(), "has no process: ", milliseconds(1000)));
    // Once dropped, a set to its objects is refused with the object's name.
    auto again = client({T_STRING + ".0", "s", "x"}, "snmpset", 2);
    EXPECT_NE(again.err.find("genErr"), std::string::npos) << again.err;
    EXPECT_TRUE(wait_for_line(daemon_log(), "Refused set of sys/scalars: owner mailbox " + std::to_string(agent) +
                                                " has no process  (SMUX3024)", milliseconds(1000)));
    EXPECT_EQ(count_of(read_file(daemon_log()), "Disconnect agent:"), 1u);
    EXPECT_EQ(value_of(snmpget(T_SIGNED + ".0")), "INTEGER: -42");
    // The queue full again: the stop at shutdown skips the dropped agent and waits for no room.
    ASSERT_GT(fill_queue(agent), 0);
    int status = stop(daemon_, SIGTERM, milliseconds(30000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(daemon_serve, oversized_mail_and_set_to_the_daemons_own_mailbox_leave_it_serving)
{
    start_all();
    int qid = daemon_queue();
    ASSERT_GE(qid, 0);
    ASSERT_EQ(queue_mail(qid, 1, 0, 14, 5000), 0) << std::strerror(errno);
    EXPECT_TRUE(wait_for_line(daemon_log(), "Dropped mail longer than 4096 bytes  (SMUX3018)"));

    // An object that names mailbox 1 as its owner: a set there would reach
    // the daemon itself.
    std::string file = REGISTRY + "/sys/scalars";
    std::string image = read_file(file);
    ASSERT_GT(image.size(), 4u);
    std::int32_t own = 1;
    image.replace(0, 4, reinterpret_cast<const char*>(&own), 4);
    ASSERT_TRUE(write_file(file, image));
    auto answer = snmpset(T_SIGNED + ".0", "i", "9");
    EXPECT_NE(answer.status, 0) << answer.out;
    EXPECT_TRUE(wait_for_line(daemon_log(), "Refused set of sys/scalars: owner mailbox 1 is no agent's  (SMUX3019)"));
    EXPECT_EQ(value_of(snmpget(T_SIGNED + ".0")), "INTEGER: -42");
    EXPECT_EQ(count_of(read_file(daemon_log()), "Unknown mail command"), 0u);
    EXPECT_TRUE(running(daemon_));
    EXPECT_TRUE(sets().empty()) << read_file(set_log());
}

TEST_F(daemon_serve, late_answer_of_another_agent_does_not_pass_for_a_silent_agents)
{
    start_all("none");
    auto pending = std::async(std::launch::async, [this] { return snmpset(T_SIGNED + ".0", "i", "9"); });
    ASSERT_TRUE(wait_for_line(set_log(), "set phase=1", milliseconds(10000)));
    // Another agent's answer to an earlier set, arriving late.
    ASSERT_EQ(queue_mail(daemon_queue(), 1, static_cast<std::int32_t>(getpid()), 15), 0) << std::strerror(errno);
    auto answer = pending.get();
    EXPECT_NE(answer.status, 0) << answer.out;
    EXPECT_NE(answer.err.find("badValue"), std::string::npos) << answer.err;
    EXPECT_EQ(sets(), (std::vector<std::string>{"set phase=1 object=sys/scalars item=1 length=4 hex=09000000"}))
        << "the set was committed without its agent";
    EXPECT_TRUE(running(daemon_));
}

// A user's queue, made before and during the start: refused by dorsrvctl, replaced, never mailed.
TEST_F(daemon_serve, a_users_queue_made_before_the_start_is_refused_and_replaced)
{
    write_tree(agent_line("ack"));
    // As nobody: the queue re-made whenever gone, every mail taken; SIGTERM exits with the count.
    sigset_t term;
    sigfillset(&term);
    pid_t squatter = fork();
    if (squatter == 0) {
        sigprocmask(SIG_BLOCK, &term, nullptr);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(200);
        kernel_mail message;
        for (int taken = 0;; sched_yield()) {
            int qid = msgget(queue_key(), IPC_CREAT | 0666);
            taken += qid >= 0 && msgrcv(qid, &message, sizeof message.text, 0, IPC_NOWAIT | MSG_NOERROR) >= 0;
            if (sigpending(&term) == 0 && sigismember(&term, SIGTERM))
                _exit(taken > 100 ? 100 : taken);
        }
    }
    auto squatter_result = [squatter, status = 0]() mutable {
        kill(squatter, SIGTERM);
        return waitpid(squatter, &status, 0) == squatter && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    if (!wait_until([] { return daemon_queue() >= 0; }, milliseconds(5000)))
        GTEST_SKIP() << "cannot become uid 65534 here: " << squatter_result();
    run_result refused = ctl({"dump", "sys/scalars"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("(owner 65534, creator 65534, mode 666): another user made it"), std::string::npos)
        << refused.err;
    start_snmp();
    daemon_ = start_daemon();
    ASSERT_GT(daemon_, 0);
    // The squatter spins on a CPU of its own: on a loaded machine the start may take a while.
    ASSERT_TRUE(wait_for_line(daemon_log(), "published 10", milliseconds(60000)));
    EXPECT_EQ(count_of(read_file(daemon_log()), "is not the daemon's own (owner 65534, creator 65534, mode 666)"), 1u)
        << "not one line per streak";
    EXPECT_EQ(value_of(snmpset(T_SIGNED + ".0", "i", "9")), "INTEGER: 9");
    ASSERT_EQ(ctl({"debug"}).status, 0);
    EXPECT_TRUE(wait_for_line(daemon_log(), "received DEBUG on", milliseconds(5000)));
    EXPECT_EQ(squatter_result(), 0) << "the user received the daemon's or an agent's mail";
    msqid_ds description{};
    ASSERT_EQ(msgctl(daemon_queue(), IPC_STAT, &description), 0);
    EXPECT_EQ(description.msg_perm.uid, 0u);
    EXPECT_EQ(description.msg_perm.mode & 0777, 0600u);
}

TEST_F(daemon_serve, dump_of_a_name_leading_out_of_the_registry_finds_no_object)
{
    start_all();
    // A valid object outside the registry, readable by the daemon only.
    const std::string secret = "/opt/varden/server/secret";
    ASSERT_EQ(run({"cp", REGISTRY + "/sys/scalars", secret}).status, 0);
    ASSERT_EQ(run({"chmod", "600", secret}).status, 0);
    ASSERT_EQ(run({"ln", "-s", secret, REGISTRY + "/sys/link"}).status, 0);
    for (const std::string& name : {secret, std::string("../secret"), std::string("sys/../../secret"), std::string("sys/link")}) {
        ASSERT_EQ(ctl({"dump", name}).status, 0) << name;
        EXPECT_TRUE(wait_for_line(daemon_log(), "Can't find object: " + name, milliseconds(5000))) << name;
    }
    ASSERT_EQ(ctl({"dump", "sys/scalars"}).status, 0);
    EXPECT_TRUE(wait_for_line(daemon_log(), "*** sys/scalars - ", milliseconds(5000)));
    EXPECT_EQ(count_of(read_file(daemon_log()), "*** sys/scalars - "), 1u) << "an object outside was dumped";
}

TEST_F(daemon_serve, mailcfg_entries_survive_its_failed_read_and_debug_from_config_switches_off)
{
    write_tree("debug = 1;\n");
    // The agent comes from mailcfg, whose read then fails.
    ASSERT_TRUE(write_file(scratch() + "/server/mailcfg", agent_line("ack") + "no_such_statement;\n"));
    start_snmp();
    daemon_ = start_daemon();
    ASSERT_GT(daemon_, 0);
    ASSERT_TRUE(wait_for_line(daemon_log(), "Can't interpret file: ../../mailcfg  (SMUX4020)", milliseconds(20000)));
    ASSERT_TRUE(wait_for_line(daemon_log(), "published 10", milliseconds(20000)));
    ASSERT_TRUE(wait_for_cold_start());
    ASSERT_EQ(ctl({"debug"}).status, 0);
    EXPECT_TRUE(wait_for_line(daemon_log(), "received DEBUG off", milliseconds(5000)));
    EXPECT_EQ(count_of(read_file(daemon_log()), "received DEBUG on"), 0u);
}

// ---- start-up failures ---------------------------------------------------

TEST_F(daemon_serve, empty_registry_map_leaves_requests_refused_and_mail_served)
{
    write_tree(agent_line("ack"), "registry = /opt/varden/server/registry\n");
    start_snmp();
    daemon_ = start_daemon();
    ASSERT_GT(daemon_, 0);
    ASSERT_TRUE(wait_for_cold_start());
    // The agent connects (the mail service answers) and publishes, but the
    // daemon has no pairs table: every object is refused.
    ASSERT_TRUE(wait_for_line(daemon_log(), "published 10", milliseconds(20000)));
    for (const std::string& oid : {T_SIGNED + ".0", O1 + ".1", H_A + ".0"}) {
        auto answer = snmpget(oid);
        EXPECT_NE(answer.status, 0) << oid << " answered " << answer.out;
        EXPECT_NE(answer.err.find("noSuchName"), std::string::npos) << oid << ": " << answer.err;
    }
    EXPECT_TRUE(running(daemon_));
}

TEST_F(daemon_serve, agent_start_failure_leaves_requests_refused_and_mail_served)
{
    // The daemon runs as nobody with a process limit it has reached already:
    // its fork of the configured agent fails.
    if (run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "true"}).status != 0)
        GTEST_SKIP() << "cannot run a program as nobody here";
    write_tree(agent_line("ack"));
    ASSERT_EQ(run({"chmod", "-R", "a+rX", scratch(), "/opt/varden/server"}).status, 0);
    start_snmp();
    daemon_ = start_daemon({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "prlimit", "--nproc=1:1", "--"});
    ASSERT_GT(daemon_, 0);
    ASSERT_TRUE(wait_for_line(daemon_log(), "Can't fork agent: serve_agent  (SMUX4025)", milliseconds(20000)));
    ASSERT_TRUE(wait_for_cold_start());
    auto answer = snmpget(T_SIGNED + ".0");
    EXPECT_NE(answer.status, 0) << answer.out;
    EXPECT_NE(answer.err.find("noSuchName"), std::string::npos) << answer.err;
    // Mail is served: an agent started from outside (as the daemon's user, the queue's owner) connects.
    ASSERT_TRUE(write_file(set_log(), ""));
    ASSERT_EQ(run({"chown", "-R", "nobody:nogroup", REGISTRY, set_log()}).status, 0);
    pid_t agent = spawn({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", bin_dir() + "/serve_agent",
                         scratch() + "/layout", set_log(), "ack"}, "agent");
    ASSERT_GT(agent, 0);
    EXPECT_TRUE(wait_for_line(log_path("agent"), "published 10", milliseconds(20000)));
    EXPECT_TRUE(running(daemon_));
}

TEST_F(daemon_serve, missing_config_fails_every_attempt_then_stops_with_status_one)
{
    write_tree("");
    start_snmp();
    daemon_ = start_daemon();
    ASSERT_GT(daemon_, 0);
    auto status = wait_exit(daemon_, milliseconds(40000));
    ASSERT_TRUE(status.has_value()) << "the daemon did not stop";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    std::string log = read_file(daemon_log());
    EXPECT_GE(count_of(log, "(SM1106)"), 1u) << log;
    EXPECT_EQ(count_of(log, "dorsrvsmuxd: Can't interpret file: config  (SMUX4020)"), 4u) << log;
    EXPECT_EQ(count_of(log, "(SMUX3004)"), 1u) << log;
    EXPECT_LT(log.find("(SMUX4020)"), log.find("(SMUX3004)"));
    EXPECT_NE(log.find("dorsrvsmuxd: Receive failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("Terminating Server Agents SMUX Manager..."), std::string::npos) << log;
    EXPECT_NE(log.find("dorsrvsmuxd: Done."), std::string::npos) << log;
}

// ---- snmpd going away ------------------------------------------------------

TEST_P(daemon_both, survives_snmpd_restart_and_keeps_serving_mail)
{
    start_all("ack", {"--reconnect-wait=2"});
    ASSERT_GT(restart_snmpd(), 0);
    // Give the daemon the chance to notice the end of its connection.
    auto answer = snmpget(".1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(answer.status, 0) << answer.err;
    EXPECT_TRUE(running(daemon_));
    // The loss is written, and the subtrees registered again after the reconnection wait.
    EXPECT_TRUE(wait_for_line(daemon_log(), "association with the master agent lost: ", milliseconds(10000)));
    EXPECT_TRUE(wait_until([&] { return snmpget(H_A + ".0").status == 0; }, milliseconds(20000)));
    EXPECT_TRUE(wait_for_line(daemon_log(), "association with the master agent regained  (SMUX4045)"));
    // A second agent connects and gets its answer from the daemon.
    pid_t agent = spawn({bin_dir() + "/serve_agent", scratch() + "/layout", set_log(), "ack"}, "agent");
    ASSERT_GT(agent, 0);
    EXPECT_TRUE(wait_for_line(log_path("agent"), "published 10", milliseconds(20000)));
    EXPECT_TRUE(running(daemon_));
    // And it stops in order when told to.
    int status = stop(daemon_, SIGTERM, milliseconds(30000));
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_TRUE(wait_for_line(log_path("agent"), "stopped", milliseconds(5000)));
}

}  // namespace

// ---- the shipped install tree ---------------------------------------------------

namespace {

// examples/ as installed: the daemon in etc/smux with the shipped config,
// registry.mib and definitions, sysagent started from config.
class shipped_tree : public sandbox_test {
 protected:
    // The daemon in `smux_dir` as the package's unit starts it (AgentX), the build's programs first on PATH.
    pid_t start_daemon_in(const std::string& smux_dir)
    {
        const char* path = getenv("PATH");
        return spawn({"/bin/sh", "-c", "cd '" + smux_dir + "' && exec '" + bin_dir() + "/dorsrvsmuxd' --master=agentx"},
                     "daemon", {"PATH=" + bin_dir() + ":" + (path ? path : "/usr/bin:/bin")});
    }
};

TEST_F(shipped_tree, serves_sysagent_objects_in_all_four_subtrees_and_takes_a_set)
{
    std::string smux_dir = scratch() + "/server/etc/smux";
    ASSERT_EQ(run({"mkdir", "-p", smux_dir, REGISTRY}).status, 0);
    run({"ipcrm", "--all=msg"});
    for (const char* file : {"config", "registry.mib", "dorsrvsmuxd.defs"})
        ASSERT_EQ(run({"cp", source_dir() + "/examples/" + file, smux_dir}).status, 0);
    ASSERT_TRUE(write_file(scratch() + "/server/mailcfg", "mail \"cat >> " + scratch() + "/trap-mail.txt\";\n"));
    // A threshold out of reach, so that the only load trap is the one below.
    ASSERT_TRUE(write_file(REGISTRY + "/.sysagent.state", "threshold=1000000\n"));
    snmpd_config conf;
    conf.extra_lines.push_back("override .1.3.6.1.4.1.32473.11.2.11.1.0 integer 1");
    write_snmpd_conf(conf);
    ASSERT_EQ(run({"cp", source_dir() + "/examples/snmpd.comm", "/etc/netmgt/snmpd.comm"}).status, 0);
    ASSERT_GT(start_snmptrapd(), 0);
    ASSERT_GT(start_snmpd(), 0);
    pid_t daemon = start_daemon_in(smux_dir);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(wait_for_line(log_path("daemon"), "Connect agent:", milliseconds(20000)));
    const std::string host = BASE + ".2.1.0";
    ASSERT_TRUE(wait_until([&] { return snmpget(host, "2c").status == 0 && value_of(snmpget(host, "2c")) == "STRING: \"sandbox\""; },
                           milliseconds(20000)));
    // Each subtree has rows; the lo interface is in vdnSm2, / in vdnStdEquipment.
    for (const auto& [subtree, expected] : std::vector<std::pair<std::string, std::string>>{
             {BASE + ".1", "STRING: \"/\""}, {BASE + ".2", "STRING: \"Linux\""},
             {BASE + ".3", "Gauge32: "}, {BASE + ".4", "STRING: \"lo\""}}) {
        auto walk = snmpwalk(subtree, "2c");
        ASSERT_EQ(walk.status, 0) << subtree << ": " << walk.err;
        EXPECT_GE(lines_with(walk.out, subtree + ".").size(), 3u) << walk.out;
        EXPECT_NE(walk.out.find(expected), std::string::npos) << subtree << ":\n" << walk.out;
    }
    const std::string location = BASE + ".2.9.0";
    auto set = snmpset(location, "s", "rack 7", "2c");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(value_of(snmpget(location, "2c")), "STRING: \"rack 7\"");
    EXPECT_NE(read_file(REGISTRY + "/.sysagent.state").find("location=rack 7"), std::string::npos);

    // Lowering the threshold makes sysagent raise its load trap, which
    // carries the enterprise value snmpd serves from its override line.
    ASSERT_EQ(snmpset(BASE + ".3.10.0", "i", "0", "2c").status, 0);
    auto trap = wait_for_trap([](const trap_record& t) { return t.generic == 6; }, milliseconds(20000));
    ASSERT_TRUE(trap.has_value());
    EXPECT_EQ(trap->enterprise, ".1.3.6.1.4.1.32473");
    std::string all;
    for (const auto& vb : trap->varbinds)
        all += vb + "\n";
    EXPECT_NE(all.find(".1.3.6.1.4.1.32473.11.2.11.1.0 = INTEGER: 1"), std::string::npos) << all;
    EXPECT_NE(all.find(BASE + ".3.10.0 = INTEGER: 0"), std::string::npos) << all;
    EXPECT_TRUE(wait_until([&] { return read_file(scratch() + "/trap-mail.txt").find("reached the threshold") != std::string::npos; },
                           milliseconds(10000)));

    int status = stop(daemon, SIGTERM, milliseconds(30000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(shipped_tree, check_finds_every_shipped_entry_served)
{
    std::string smux_dir = scratch() + "/server/etc/smux";
    // The install makes the registry directory (mode 0755, root's).
    ASSERT_EQ(run({"mkdir", "-p", smux_dir, REGISTRY}).status, 0);
    for (const char* file : {"config", "registry.mib", "dorsrvsmuxd.defs"})
        ASSERT_EQ(run({"cp", source_dir() + "/examples/" + file, smux_dir}).status, 0);
    ASSERT_EQ(run({"cp", source_dir() + "/examples/mailcfg", scratch() + "/server/mailcfg"}).status, 0);
    const char* path = getenv("PATH");
    auto check = run({"env", "PATH=" + bin_dir() + ":" + (path ? path : "/usr/bin:/bin"), bin_dir() + "/dorsrvsmuxd",
                      "--master=agentx", "--check", smux_dir});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("dorsrvsmuxd: check: 0 problems, 0 warnings"), std::string::npos) << check.out << check.err;
}

// agent-hello from the shipped files, agent-table from its package's fragments; broken fragments told, left out.
TEST_F(shipped_tree, agent_hello_by_the_shipped_files_and_agent_table_by_fragments_are_served)
{
    std::string smux_dir = scratch() + "/server/etc/smux";
    ASSERT_EQ(run({"mkdir", "-p", smux_dir, REGISTRY}).status, 0);
    run({"ipcrm", "--all=msg"});
    for (const char* file : {"registry.mib", "dorsrvsmuxd.defs"})
        ASSERT_EQ(run({"cp", source_dir() + "/examples/" + file, smux_dir}).status, 0);
    ASSERT_TRUE(write_file(smux_dir + "/config", "agent agent-hello " + REGISTRY + ";\n"));
    const std::string example = source_dir() + "/examples/agent-table/agent-table.";
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"config.d/50-agent-table.conf", "agent agent-table " + REGISTRY + " backup report;\n"},
             {"dorsrvsmuxd.defs.d/50-agent-table.defs", read_file(example + "defs")},
             {"registry.mib.d/50-agent-table.mib", read_file(example + "mib")},
             {"registry.mib.d/60-broken.mib", "\nnonsense\n"},
             {"dorsrvsmuxd.defs.d/60-broken.defs", "pkgOther vdnNowhere.1 INTEGER read-only mandatory\n"}}) {
        ASSERT_EQ(run({"mkdir", "-p", smux_dir + "/" + name.substr(0, name.find('/'))}).status, 0);
        ASSERT_TRUE(write_file(smux_dir + "/" + name, text));
    }
    write_snmpd_conf();
    ASSERT_GT(start_snmpd(), 0);
    pid_t daemon = start_daemon_in(smux_dir);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(wait_for_line(log_path("daemon"), "Connect agent:", milliseconds(20000)));
    const std::string greeting = BASE + ".2.20.2.0";
    ASSERT_TRUE(wait_until([&] { return value_of(snmpget(greeting, "2c")) == "STRING: \"hello, world\""; },
                           milliseconds(20000)))
        << snmpget(greeting, "2c").out;
    EXPECT_EQ(value_of(snmpget(BASE + ".2.20.1.0", "2c")).rfind("Counter32: ", 0), 0u);
    ASSERT_EQ(snmpset(greeting, "s", "hi there", "2c").status, 0);
    EXPECT_TRUE(wait_until([&] { return value_of(snmpget(greeting, "2c")) == "STRING: \"hi there\""; },
                           milliseconds(10000)));
    const std::string entry = BASE + ".1.100.1";
    ASSERT_TRUE(wait_until([&] { return value_of(snmpget(entry + ".2.2", "2c")) == "STRING: \"report\""; },
                           milliseconds(10000)));
    EXPECT_EQ(value_of(snmpget(entry + ".2.1")), "STRING: \"backup\"");
    EXPECT_EQ(value_of(snmpget(entry + ".3.1")).rfind("Gauge32: ", 0), 0u);
    ASSERT_EQ(snmpset(entry + ".4.2", "i", "7").status, 0);
    EXPECT_EQ(value_of(snmpget(entry + ".4.2")), "INTEGER: 7");
    EXPECT_NE(snmpset(entry + ".4.2", "i", "12").err.find("badValue"), std::string::npos) << "the agent's refusal";
    std::string log = read_file(log_path("daemon"));
    for (const char* told :
         {"dorsrvsmuxd: registry.mib.d/60-broken.mib: line 2: keyword \"nonsense\" not found  (SMUX4026)",
          "dorsrvsmuxd: Can't interpret file: registry.mib.d/60-broken.mib  (SMUX4020)",
          "dorsrvsmuxd: Can't find or interpret MIB file: dorsrvsmuxd.defs.d/60-broken.defs:1: unknown parent "
          "\"vdnNowhere\"  (SMUX4017)"})
        EXPECT_NE(log.find(told), std::string::npos) << told << "\n" << log;
    // No warning: every shipped entry is served.
    EXPECT_EQ(log.find("(SMUX404"), std::string::npos) << log;
}

}  // namespace

// ---- the daemon's own commands and start-up refusals ------------------------

namespace {

// daemon_agent publishes a fixed set of objects into the registry given and
// answers sets; the daemon starts it from config in <scratch>/run/a/b.
const std::string S = ".1.3.6.1.4.1.32473.11.2";

const std::string defs = std::string(SERVER_SUBTREE_DEFS) +
    "eTable vdnStdEquipment.1\n"
    "eEntry eTable.1\n"
    "eColA eEntry.1 INTEGER read-write mandatory\n"
    "eColB eEntry.2 DisplayString read-write mandatory\n"
    "e2Table vdnStdEquipment.2\n"
    "e2Entry e2Table.1\n"
    "ePVal e2Entry.1 INTEGER read-only mandatory\n"
    "eLevel vdnSystemInfo.1 INTEGER read-write mandatory\n"
    "eText vdnSystemInfo.2 DisplayString read-write mandatory\n"
    "eCount vdnSystemInfo.3 Gauge read-only mandatory\n"
    "eOff vdnSystemInfo.4 INTEGER read-write mandatory\n"
    "eOid vdnSystemInfo.5 ObjectID read-write mandatory\n"
    "eRaw vdnSystemInfo.6 OctetString read-write mandatory\n"
    "eHealth vdnHealth.1 Gauge read-only mandatory\n"
    "eSm2 vdnSm2.1 Gauge read-only mandatory\n";

class daemon_e2e : public sandbox_test {
 protected:
    // The start directory <scratch>/run/a/b with the MIB definitions, the
    // registry map and (unless told otherwise) the agent configuration.
    void prepare(bool with_config = true)
    {
        run_ = scratch() + "/run/a/b";
        // The registry path must fit 59 characters; the sandbox keeps
        // /opt/varden/server private.
        registry_ = "/opt/varden/server/registry";
        for (const std::string& dir : {scratch() + "/run", scratch() + "/run/a", run_, registry_})
            mkdir(dir.c_str(), 0755);
        ASSERT_TRUE(write_file(run_ + "/dorsrvsmuxd.defs", defs));
        std::string map = "registry = \"" + registry_ + "\"\n";
        for (const char* name : {"eLevel", "eText", "eCount", "eOff", "eOid", "eRaw"})
            map += std::string("\"sys/scalars\" \"") + name + "\" SCALAR\n";
        map += "\"health/health\" \"eHealth\" SCALAR\n\"health/health\" \"eSm2\" SCALAR\n";
        map += "table_index = 1\n\"disk/diskTable\" \"eColA\" TABLE\n\"disk/diskTable\" \"eColB\" TABLE\n";
        map += "table_index = 2\n\"proc/procTable\" \"ePVal\" TABLE\n";
        ASSERT_TRUE(write_file(run_ + "/registry.mib", map));
        if (with_config) {
            ASSERT_TRUE(write_file(run_ + "/config",
                                   "agent \"" + bin_dir() + "/daemon_agent\" \"" + registry_ + "\";\n"));
        }
        write_peers_file(std::string("dorsrvsmuxd ") + DEFAULT_IDENTITY + " " + DEFAULT_PASSWORD + "\n");
    }

    pid_t start_daemon(const std::string& name = "daemon", const std::vector<std::string>& env = {})
    {
        return spawn({"/bin/sh", "-c", "cd '" + run_ + "' && exec '" + bin_dir() + "/dorsrvsmuxd' " + options_}, name, env);
    }

    run_result dorsrvctl(const std::string& command)
    {
        return run({bin_dir() + "/dorsrvctl", command}, std::chrono::milliseconds(30000));
    }

    run_result check(const std::string& dir)
    {
        return run({bin_dir() + "/dorsrvsmuxd", "--check", dir}, std::chrono::milliseconds(30000));
    }

    // snmpd, snmptrapd, the daemon and its agent, up and registered.
    void start_all()
    {
        prepare();
        write_snmpd_conf();
        ASSERT_GT(start_snmptrapd(), 0);
        ASSERT_GT(start_snmpd(), 0);
        daemon_ = start_daemon();
        ASSERT_GT(daemon_, 0);
        auto cold = wait_for_trap(
            [](const trap_record& t) { return t.generic == 0 && t.enterprise == ".1.3.6.1.4.1.32473"; },
            std::chrono::milliseconds(20000));
        ASSERT_TRUE(cold.has_value()) << "no cold-start trap";
        ASSERT_TRUE(wait_for_line(log_path("daemon"), "Connect agent:", std::chrono::milliseconds(20000)));
    }

    std::string run_, registry_;
    std::string options_;  // the daemon's options
    pid_t daemon_ = -1;
};

TEST_F(daemon_e2e, check_passes_a_good_tree_and_reports_a_broken_one_without_starting)
{
    prepare();
    chmod("/etc/netmgt/snmpd.peers", 0600);
    // A queue left by an earlier test in this sandbox would hide one made here.
    key_t key = ftok("/opt/varden/server", 0x16324);
    if (int left = msgget(key, 0); left >= 0)
        msgctl(left, IPC_RMID, nullptr);
    run_result good = check(run_);
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("dorsrvsmuxd: check: 0 problems, 1 warning"), std::string::npos) << good.out;
    EXPECT_NE(good.err.find("Can't interpret file: ../../mailcfg  (SMUX4020)"), std::string::npos) << good.err;
    // No snmpd runs here: the check says so, and counts it as neither.
    EXPECT_NE(good.out.find("check: SMUX master at 127.0.0.1:199: not listening"), std::string::npos) << good.out;

    // An agent that is not there, an unknown object, one outside the four
    // subtrees and a table entry instead of its columns; a readable peers file.
    ASSERT_TRUE(write_file(run_ + "/dorsrvsmuxd.defs", std::string(defs) + "eElse varden.99 INTEGER read-only mandatory\n"));
    ASSERT_TRUE(write_file(run_ + "/config", "agent \"no-such-agent\";\n"));
    std::string map = read_file(run_ + "/registry.mib");
    map += "\"sys/scalars\" \"eNowhere\" SCALAR\n\"sys/scalars\" \"eElse\" SCALAR\n";
    map += "table_index = 1\n\"disk/diskTable\" \"eEntry\" TABLE\n";
    ASSERT_TRUE(write_file(run_ + "/registry.mib", map));
    write_peers_file(std::string("dorsrvsmuxd ") + DEFAULT_IDENTITY + " smuxsecret\n");
    chmod("/etc/netmgt/snmpd.peers", 0644);
    chmod(registry_.c_str(), 0777);
    run_result bad = run({"/bin/sh", "-c", "cd '" + run_ + "' && exec '" + bin_dir() + "/dorsrvsmuxd' --check"});
    EXPECT_EQ(bad.status, 1);
    for (const char* expected :
         {"dorsrvsmuxd: Can't find executable to fork: no-such-agent  (SMUX4023)",
          "Registry entry eNowhere is not in dorsrvsmuxd.defs: it is served as nothing  (SMUX4040)",
          "Registry entry eElse lies outside the served subtrees", "Registry entry eEntry maps a table",
          "(SMUX4043)", "Registry directory /opt/varden/server/registry is writable by group or others (mode 0777)",
          "holds the sample SMUX password that was the same on every install",
          "dorsrvsmuxd: check: 1 problem, 7 warnings"})
        EXPECT_NE((bad.out + bad.err).find(expected), std::string::npos) << expected << "\n" << bad.out << bad.err;
    // Nothing was started: no mailbox queue exists.
    EXPECT_LT(msgget(key, 0), 0);

    // No registry directory, and no right to read the peers file: each said as it is.
    rmdir(registry_.c_str());
    chmod("/etc/netmgt/snmpd.peers", 0600);
    run_result unprivileged = run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
                                   "cd '" + run_ + "' && exec '" + bin_dir() + "/dorsrvsmuxd' --check"});
    EXPECT_EQ(unprivileged.status, 1);
    for (const char* expected : {"Can't read /etc/netmgt/snmpd.peers: Permission denied  (SMUX3054)",
                                 "Registry directory /opt/varden/server/registry: No such file or directory  (SMUX3055)"})
        EXPECT_NE(unprivileged.err.find(expected), std::string::npos) << expected << "\n" << unprivileged.err;
    EXPECT_EQ(unprivileged.err.find("Can't find \"dorsrvsmuxd\""), std::string::npos) << unprivileged.err;
    for (const char* wrong : {"--bogus", "--reconnect-wait= 5", "--reconnect-wait=+5", "--reconnect-wait=0"})
        EXPECT_EQ(run({bin_dir() + "/dorsrvsmuxd", wrong}).status, 2) << wrong;
}

TEST_F(daemon_e2e, second_daemon_is_refused_while_the_first_keeps_serving)
{
    start_all();
    pid_t second = start_daemon("second");
    auto status = wait_exit(second, std::chrono::milliseconds(10000));
    ASSERT_TRUE(status.has_value()) << "the second daemon did not stop";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    std::string log = read_file(log_path("second"));
    EXPECT_NE(log.find("dorsrvsmuxd: Another dorsrvsmuxd (pid " + std::to_string(daemon_) + ") runs"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("Connect agent:"), std::string::npos) << log;
    EXPECT_EQ(value_of(snmpget(S + ".4.1.0")), "Gauge32: 6");
    EXPECT_TRUE(running(daemon_));
}

// --master=auto takes snmpd's AgentX, says so once; the status and the check name the protocol.
TEST_F(daemon_e2e, status_reports_the_association_agents_and_debug_across_an_snmpd_restart)
{
    options_ = "--master=auto";
    start_all();
    run_result before = dorsrvctl("status");
    EXPECT_EQ(before.status, 0) << before.out << before.err;
    EXPECT_NE(before.out.find("dorsrvsmuxd: running, pid " + std::to_string(daemon_)), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("master agent: AgentX at /var/agentx/master"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("AgentX association: yes"), std::string::npos) << before.out;
    EXPECT_EQ(count_of(read_file(log_path("daemon")), "Master agent reached over AgentX at /var/agentx/master  (SMUX4052)"),
              1u);
    EXPECT_NE(before.out.find("debug: off"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("connected agents: 1"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("daemon_agent"), std::string::npos) << before.out;

    // The check compares objects with the map and reads fragments: a name no object carries, an
    // item no entry maps, a fragment that does not read.
    ASSERT_TRUE(wait_for_line(log_path("daemon"), "published 8", std::chrono::milliseconds(10000)));
    chmod("/etc/netmgt/snmpd.peers", 0600);
    ASSERT_EQ(run({"mkdir", run_ + "/dorsrvsmuxd.defs.d", run_ + "/registry.mib.d", run_ + "/config.d"}).status, 0);
    ASSERT_TRUE(write_file(run_ + "/dorsrvsmuxd.defs.d/50-extra.defs", "eSpare vdnSystemInfo.7 INTEGER read-only mandatory\n"));
    ASSERT_TRUE(write_file(run_ + "/registry.mib.d/50-extra.mib", "\"sys/scalars\" \"eSpare\" SCALAR\n"));
    ASSERT_TRUE(write_file(run_ + "/config.d/50-bad.conf", "nonsense;\n"));
    ASSERT_TRUE(write_object_file(registry_ + "/sys/extra",
                                  ::object_image({"sys/extra", registry_ + "/sys/extra", 4242, {}},
                                               {{"eLevl", ITEM_SIGNED, image_u32(1)}})));
    run_result checked = run({bin_dir() + "/dorsrvsmuxd", "--master=auto", "--check", run_}, std::chrono::milliseconds(30000));
    EXPECT_EQ(checked.status, 1) << checked.out << checked.err;
    for (const char* told :
         {"check: AgentX master at /var/agentx/master: answers", "check: SMUX master at 127.0.0.1:199: listening",
          "dorsrvsmuxd: Registry entry eSpare: no object file under sys/scalars carries it: it is served as "
          "nothing  (SMUX4047)",
          "dorsrvsmuxd: Object file sys/extra carries item eLevl, which registry.mib does not map: it is not "
          "served  (SMUX4046)",
          "dorsrvsmuxd: config.d/50-bad.conf: line 1: keyword \"nonsense\" not found  (SMUX4026)",
          "dorsrvsmuxd: Can't interpret file: config.d/50-bad.conf  (SMUX4020)",
          "dorsrvsmuxd: check: 1 problem, 3 warnings"})
        EXPECT_NE((checked.out + checked.err).find(told), std::string::npos) << told << "\n" << checked.out << checked.err;
    // Not the other mapped names: their objects carry them.
    EXPECT_EQ(checked.err.find("(SMUX4040)"), std::string::npos) << checked.err;
    EXPECT_EQ(count_of(checked.err, "(SMUX4047)"), 1u) << checked.err;
    ASSERT_GT(restart_snmpd(), 0);
    run_result after;
    EXPECT_TRUE(wait_until(
        [&] {
            after = dorsrvctl("status");
            return after.out.find("AgentX association: no") != std::string::npos;
        },
        std::chrono::milliseconds(20000), std::chrono::milliseconds(500)))
        << after.out << after.err;
    EXPECT_EQ(after.status, 0);
    EXPECT_NE(after.out.find("connected agents: 1"), std::string::npos) << after.out;

    // A daemon that died leaves its lock behind to no one.
    stop(daemon_, SIGKILL);
    run_result gone = dorsrvctl("status");
    EXPECT_EQ(gone.status, 1) << gone.out;
    EXPECT_NE(gone.out.find("not running"), std::string::npos) << gone.out;
}

TEST_F(daemon_e2e, journal_lines_carry_their_priority_alone_and_an_asked_for_stop_exits_0)
{
    prepare();
    ASSERT_TRUE(write_file(run_ + "/registry.mib", read_file(run_ + "/registry.mib") + "\"x/y\" \"eNowhere\" SCALAR\n"));
    write_snmpd_conf();
    ASSERT_GT(start_snmpd(), 0);
    // The daemon's log file plays the journal's stream: systemd names it by
    // device and inode.
    auto journal = [this](const std::string& name) {
        write_file(log_path(name), "");
        struct stat st{};
        stat(log_path(name).c_str(), &st);
        return "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    };
    daemon_ = start_daemon("daemon", {journal("daemon")});
    ASSERT_TRUE(wait_for_line(log_path("daemon"), "Connect agent:", std::chrono::milliseconds(20000)));
    pid_t second = start_daemon("second", {journal("second")});
    ASSERT_TRUE(wait_exit(second, std::chrono::milliseconds(10000)).has_value());

    auto has_line = [this](const std::string& name, const std::string& prefix, const std::string& text) {
        std::string log = std::string("\n").append(read_file(log_path(name)));
        const std::string start = std::string("\n").append(prefix);
        for (std::size_t at = log.find(start); at != std::string::npos; at = log.find(start, at + 1)) {
            std::size_t end = log.find('\n', at + 1);
            if (log.substr(at, end - at).find(text) != std::string::npos)
                return true;
        }
        return false;
    };
    // The journal adds the time and the program's name: a line carries neither.
    EXPECT_TRUE(has_line("daemon", "<6>Started Server Agents SMUX Manager", "")) << read_file(log_path("daemon"));
    EXPECT_TRUE(has_line("daemon", "<6>Connect agent:", "")) << read_file(log_path("daemon"));
    EXPECT_TRUE(has_line("daemon", "<4>", "(SMUX4040)")) << read_file(log_path("daemon"));
    EXPECT_TRUE(has_line("second", "<3>Another dorsrvsmuxd", "")) << read_file(log_path("second"));

    // A stop that was asked for ends with status 0.
    ASSERT_EQ(dorsrvctl("stop").status, 0);
    auto stopped = wait_exit(daemon_, std::chrono::milliseconds(30000));
    ASSERT_TRUE(stopped.has_value());
    EXPECT_TRUE(WIFEXITED(*stopped) && WEXITSTATUS(*stopped) == 0) << *stopped;
    EXPECT_TRUE(has_line("daemon", "<6>Done.", "")) << read_file(log_path("daemon"));
}

// snmpd refuses the password at every retry (RFC 1227 3.1.2): said once, retried on.
TEST_F(daemon_e2e, wrong_smux_password_is_reported_with_the_close_reason)
{
    prepare();
    write_peers_file(std::string("dorsrvsmuxd ") + DEFAULT_IDENTITY + " not-the-password\n");
    write_snmpd_conf();
    ASSERT_GT(start_snmpd(), 0);
    options_ = "--reconnect-wait=1";
    daemon_ = start_daemon();
    EXPECT_TRUE(wait_for_line(log_path("daemon"),
                              "The master agent closed the SMUX association: authenticationFailure (5)",
                              std::chrono::milliseconds(20000)))
        << read_file(log_path("daemon"));
    EXPECT_TRUE(wait_until([&] { return count_of(read_file(log_path("snmpd")), "refused smux peer") >= 3; },
                           std::chrono::milliseconds(20000)))
        << read_file(log_path("snmpd"));
    EXPECT_EQ(count_of(read_file(log_path("daemon")), "authenticationFailure (5)"), 1u) << read_file(log_path("daemon"));
}

}  // namespace
