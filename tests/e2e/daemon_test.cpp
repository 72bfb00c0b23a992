// The daemon end to end: dorsrvsmuxd under net-snmp's snmpd as SMUX master,
// with a real agent process publishing objects and answering sets, and SNMP
// clients asking through snmpd.
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

using namespace dsmux::e2e;

namespace {

const std::string S = ".1.3.6.1.4.1.32473.11.2";

const char* const defs =
    "varden enterprises.32473\n"
    "vdnProducts varden.11\n"
    "vdnServer vdnProducts.2\n"
    "vdnStdEquipment vdnServer.1\n"
    "vdnSystemInfo vdnServer.2\n"
    "vdnHealth vdnServer.3\n"
    "vdnSm2 vdnServer.4\n"
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
        return spawn({"/bin/sh", "-c", "cd '" + run_ + "' && exec '" + bin_dir() + "/dorsrvsmuxd'"}, name, env);
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

    static bool refused(const run_result& r)
    {
        return r.status != 0 && (r.out + r.err).find("noSuchName") != std::string::npos;
    }

    std::vector<std::string> walk_lines(const std::string& oid)
    {
        run_result r = snmpwalk(oid);
        std::vector<std::string> lines;
        std::string line;
        for (char c : r.out) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        return lines;
    }

    std::string run_, registry_;
    pid_t daemon_ = -1;
};

TEST_F(daemon_e2e, registers_four_subtrees_and_announces_cold_start)
{
    start_all();
    for (const std::string& oid : {S + ".1.1.1.1.2", S + ".2.1.0", S + ".3.1.0", S + ".4.1.0"}) {
        run_result r = snmpget(oid);
        EXPECT_EQ(r.status, 0) << oid << ": " << r.out << r.err;
    }
    EXPECT_EQ(value_of(snmpget(S + ".4.1.0")), "Gauge32: 6");
}

TEST_F(daemon_e2e, get_of_scalars_takes_one_instance_sub_identifier)
{
    start_all();
    EXPECT_EQ(value_of(snmpget(S + ".2.1.0")), "INTEGER: -42");
    EXPECT_EQ(value_of(snmpget(S + ".2.1.5")), "INTEGER: -42");
    EXPECT_TRUE(refused(snmpget(S + ".2.1")));
    EXPECT_TRUE(refused(snmpget(S + ".2.1.0.0")));
    EXPECT_TRUE(refused(snmpget(S + ".2.4.0")));  // disabled item
}

TEST_F(daemon_e2e, walk_crosses_object_types_and_skips_disabled_items)
{
    start_all();
    EXPECT_EQ(walk_lines(S + ".2"), (std::vector<std::string>{
                                        S + ".2.1.0 = INTEGER: -42",
                                        S + ".2.2.0 = STRING: \"hello\"",
                                        S + ".2.3.0 = Gauge32: 7",
                                        S + ".2.5.0 = OID: .1.3.6.1.4.1.32473.1",
                                        S + ".2.6.0 = Hex-STRING: 01 AB 00 ",
                                    }));
}

TEST_F(daemon_e2e, walk_of_tables_in_numeric_index_order)
{
    start_all();
    EXPECT_EQ(walk_lines(S + ".1"), (std::vector<std::string>{
                                        // Row 10's first column is disabled and ends that column.
                                        S + ".1.1.1.1.2 = INTEGER: 20",
                                        S + ".1.1.1.1.9 = INTEGER: 90",
                                        S + ".1.1.1.2.2 = STRING: \"row2\"",
                                        S + ".1.1.1.2.9 = STRING: \"row9\"",
                                        S + ".1.1.1.2.10 = STRING: \"row10\"",
                                        S + ".1.2.1.1.1.1 = INTEGER: 11",
                                        S + ".1.2.1.1.1.2 = INTEGER: 12",
                                        S + ".1.2.1.1.2.1 = INTEGER: 21",
                                    }));
}

TEST_F(daemon_e2e, set_reaches_the_agent_in_two_phases)
{
    start_all();
    run_result r = snmpset(S + ".2.1.0", "i", "77");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string agent_log = log_path("daemon");  // the agent's output goes to the daemon's log
    EXPECT_TRUE(wait_for_line(agent_log, "SET phase=1 object=sys/scalars item=0 length=268 value=4d000000"));
    EXPECT_TRUE(wait_for_line(agent_log, "SET phase=2 object=sys/scalars item=0 length=268 value=4d000000"));

    r = snmpset(S + ".2.2.0", "s", "world");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(wait_for_line(agent_log, "SET phase=1 object=sys/scalars item=1 length=270 value=776f726c6400"));
    EXPECT_TRUE(wait_for_line(agent_log, "SET phase=2 object=sys/scalars item=1 length=270 value=776f726c6400"));
}

TEST_F(daemon_e2e, refused_or_unanswered_set_fails_at_the_client)
{
    start_all();
    run_result nak = snmpset(S + ".2.2.0", "s", "nak");
    EXPECT_NE(nak.status, 0) << nak.out << nak.err;
    run_result silent = snmpset(S + ".2.2.0", "s", "silent");
    EXPECT_NE(silent.status, 0) << silent.out << silent.err;
    std::string log = read_file(log_path("daemon"));
    EXPECT_NE(log.find("SET phase=1 object=sys/scalars item=1 length=268 value=6e616b00"), std::string::npos) << log;
    EXPECT_EQ(log.find("SET phase=2 object=sys/scalars item=1 length=268 value=6e616b00"), std::string::npos) << log;
    // The daemon serves on after the reply wait.
    EXPECT_EQ(value_of(snmpget(S + ".2.3.0")), "Gauge32: 7");
}

TEST_F(daemon_e2e, missing_config_fails_every_attempt_then_stops_in_order)
{
    prepare(false);
    write_snmpd_conf();
    ASSERT_GT(start_snmpd(), 0);
    pid_t daemon = start_daemon();
    auto status = wait_exit(daemon, std::chrono::milliseconds(40000));
    ASSERT_TRUE(status.has_value()) << "the daemon did not stop";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    std::string log = read_file(log_path("daemon"));
    EXPECT_NE(log.find("(SM1106)"), std::string::npos) << log;
    std::size_t attempts = 0;
    for (std::size_t at = log.find("dorsrvsmuxd: Can't interpret file: config  (SMUX4020)"); at != std::string::npos;
         at = log.find("dorsrvsmuxd: Can't interpret file: config  (SMUX4020)", at + 1))
        ++attempts;
    EXPECT_EQ(attempts, 4u) << log;
    EXPECT_NE(log.find("dorsrvsmuxd: Receive failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("(SMUX3004)"), std::string::npos) << log;
    EXPECT_NE(log.find("Terminating Server Agents SMUX Manager..."), std::string::npos) << log;
    EXPECT_NE(log.find("[dorsrvsmux] Done."), std::string::npos) << log;
}

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

    // An agent that is not there, an unknown object, one outside the four
    // subtrees and a table entry instead of its columns; a readable peers file.
    ASSERT_TRUE(write_file(run_ + "/dorsrvsmuxd.defs", std::string(defs) + "eElse varden.99 INTEGER read-only mandatory\n"));
    ASSERT_TRUE(write_file(run_ + "/config", "agent \"no-such-agent\";\n"));
    std::string map = read_file(run_ + "/registry.mib");
    map += "\"sys/scalars\" \"eNowhere\" SCALAR\n\"sys/scalars\" \"eElse\" SCALAR\n";
    map += "table_index = 1\n\"disk/diskTable\" \"eEntry\" TABLE\n";
    ASSERT_TRUE(write_file(run_ + "/registry.mib", map));
    chmod("/etc/netmgt/snmpd.peers", 0644);
    run_result bad = run({"/bin/sh", "-c", "cd '" + run_ + "' && exec '" + bin_dir() + "/dorsrvsmuxd' --check"});
    EXPECT_EQ(bad.status, 1);
    for (const char* expected :
         {"dorsrvsmuxd: Can't find executable to fork: no-such-agent  (SMUX4023)",
          "Registry entry eNowhere is not in dorsrvsmuxd.defs: it is served as nothing  (SMUX4040)",
          "Registry entry eElse lies outside the served subtrees", "Registry entry eEntry maps a table",
          "(SMUX4043)", "dorsrvsmuxd: check: 1 problem, 5 warnings"})
        EXPECT_NE((bad.out + bad.err).find(expected), std::string::npos) << expected << "\n" << bad.out << bad.err;
    // Nothing was started: no mailbox queue exists.
    EXPECT_LT(msgget(key, 0), 0);
    EXPECT_EQ(run({bin_dir() + "/dorsrvsmuxd", "--bogus"}).status, 2);
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

TEST_F(daemon_e2e, status_reports_the_association_agents_and_debug_across_an_snmpd_restart)
{
    start_all();
    run_result before = dorsrvctl("status");
    EXPECT_EQ(before.status, 0) << before.out << before.err;
    EXPECT_NE(before.out.find("dorsrvsmuxd: running, pid " + std::to_string(daemon_)), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("SMUX association: yes"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("debug: off"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("connected agents: 1"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("daemon_agent"), std::string::npos) << before.out;

    ASSERT_GT(restart_snmpd(), 0);
    run_result after;
    EXPECT_TRUE(wait_until(
        [&] {
            after = dorsrvctl("status");
            return after.out.find("SMUX association: no") != std::string::npos;
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

TEST_F(daemon_e2e, journal_stream_gets_syslog_priority_prefixes)
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
        std::string log = "\n" + read_file(log_path(name));
        for (std::size_t at = log.find("\n" + prefix); at != std::string::npos; at = log.find("\n" + prefix, at + 1)) {
            std::size_t end = log.find('\n', at + 1);
            if (log.substr(at, end - at).find(text) != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(has_line("daemon", "<6>", "Started Server Agents SMUX Manager")) << read_file(log_path("daemon"));
    EXPECT_TRUE(has_line("daemon", "<6>", "[dorsrvsmux] Connect agent:")) << read_file(log_path("daemon"));
    EXPECT_TRUE(has_line("daemon", "<4>", "(SMUX4040)")) << read_file(log_path("daemon"));
    EXPECT_TRUE(has_line("second", "<3>", "dorsrvsmuxd: Another dorsrvsmuxd")) << read_file(log_path("second"));
}

TEST_F(daemon_e2e, wrong_smux_password_is_reported_with_the_close_reason)
{
    prepare();
    write_peers_file(std::string("dorsrvsmuxd ") + DEFAULT_IDENTITY + " not-the-password\n");
    write_snmpd_conf();
    ASSERT_GT(start_snmpd(), 0);
    daemon_ = start_daemon();
    EXPECT_TRUE(wait_for_line(log_path("daemon"),
                              "The master agent closed the SMUX association: authenticationFailure (5)",
                              std::chrono::milliseconds(20000)))
        << read_file(log_path("daemon"));
}

}  // namespace
