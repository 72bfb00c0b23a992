// The trap relay end to end: an agent's MAIL_TRAP through the daemon to
// snmptrapd (via snmpd as SMUX master) and to the configured mail commands,
// with the enterprise value read from snmpd through getone.
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"
#include "tests/e2e/server_defs.h"

using namespace dsmux::e2e;

namespace {

const std::string E = ".1.3.6.1.4.1.32473";
const std::string S = E + ".11.2";
const std::string ENTERPRISE_VALUE = E + ".11.2.11.1.0";

const std::string defs = std::string(SERVER_SUBTREE_DEFS) +
    "tLevel vdnSystemInfo.1 INTEGER read-write mandatory\n"
    "tText vdnSystemInfo.2 DisplayString read-write mandatory\n"
    "tCount vdnSystemInfo.3 Counter read-only mandatory\n"
    "tOid vdnSystemInfo.5 ObjectID read-only mandatory\n"
    "tRaw vdnSystemInfo.6 OctetString read-only mandatory\n"
    "tGauge vdnSystemInfo.7 Gauge read-only mandatory\n"
    "rTable vdnStdEquipment.1\n"
    "rEntry rTable.1\n"
    "tRow rEntry.1 INTEGER read-only mandatory\n";

std::string trim(std::string s)
{
    while (!s.empty() && (s.front() == ' '))
        s.erase(0, 1);
    while (!s.empty() && (s.back() == ' '))
        s.pop_back();
    return s;
}

class trap_e2e : public sandbox_test {
 protected:
    // Start directory <scratch>/run/a/b; `mail1` from config, `mail2` from
    // ../../mailcfg; the agent's traps from `traps`.
    void start_all(const std::vector<std::string>& traps, const std::string& community_file,
                   const std::string& enterprise_override)
    {
        run_ = scratch() + "/run/a/b";
        // The registry's name must stay short (59 characters at most).
        registry_ = "/tmp/trapreg";
        run({"rm", "-rf", registry_});
        for (const std::string& dir : {scratch() + "/run", scratch() + "/run/a", run_, registry_, registry_ + "/grp"})
            mkdir(dir.c_str(), 0755);
        ASSERT_TRUE(write_file(run_ + "/dorsrvsmuxd.defs", defs));
        ASSERT_TRUE(write_file(run_ + "/registry.mib",
                               "registry = \"" + registry_ + "\"\n\"grp/scalars\" \"tLevel\" SCALAR\n"));
        ASSERT_TRUE(write_file(run_ + "/config", config_.empty() ? "mail \"cat >> " + scratch() + "/mail1\";\n" : config_));
        ASSERT_TRUE(write_file(scratch() + "/run/mailcfg", "mail \"cat >> " + scratch() + "/mail2\";\n"));
        write_peers_file(std::string("dorsrvsmuxd ") + DEFAULT_IDENTITY + " " + DEFAULT_PASSWORD + "\n");
        if (!community_file.empty()) {
            ASSERT_TRUE(write_file("/etc/netmgt/snmpd.comm", community_file));
        }
        snmpd_config conf;
        if (!enterprise_override.empty())
            conf.extra_lines.push_back("override " + ENTERPRISE_VALUE + " integer " + enterprise_override);
        write_snmpd_conf(conf);
        ASSERT_GT(start_snmptrapd(), 0);
        ASSERT_GT(start_snmpd(), 0);
        // getone is found through PATH, next to the daemon.
        const char* path = getenv("PATH");
        std::string env_path = "PATH=" + path_prefix_ + bin_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
        std::vector<std::string> env = extra_env_;
        env.push_back(env_path);
        std::string master = master_.empty() ? "" : " --master=" + master_;
        daemon_ = spawn({"/bin/sh", "-c", "cd '" + run_ + "' && exec '" + bin_dir() + "/dorsrvsmuxd'" + master},
                        "daemon", env);
        ASSERT_GT(daemon_, 0);
        auto cold = wait_for_trap([](const trap_record& t) { return t.generic == 0; }, std::chrono::milliseconds(20000));
        ASSERT_TRUE(cold.has_value()) << "no cold-start trap";
        // The mailbox queue exists once the service has started.
        ASSERT_TRUE(wait_for_line(log_path("daemon"), "Started Server Agents SMUX Manager",
                                  std::chrono::milliseconds(20000)));
        std::vector<std::string> argv = {bin_dir() + "/trap_agent", registry_};
        argv.insert(argv.end(), traps.begin(), traps.end());
        agent_ = spawn(argv, "agent");
        ASSERT_GT(agent_, 0);
        ASSERT_TRUE(wait_for_line(log_path("agent"), "connected", std::chrono::milliseconds(20000)));
    }

    // Has the agent send its next trap and waits for it at snmptrapd.
    trap_record next_trap(long specific)
    {
        ++sent_;
        EXPECT_EQ(kill(agent_, SIGUSR1), 0);
        EXPECT_TRUE(wait_for_line(log_path("agent"), "trap sent " + std::to_string(sent_)));
        auto trap = wait_for_trap(
            [&](const trap_record& t) { return t.generic == 6 && t.specific == specific; },
            std::chrono::milliseconds(15000));
        EXPECT_TRUE(trap.has_value()) << "trap " << specific << " did not arrive";
        trap_record t = trap.value_or(trap_record{});
        for (auto& vb : t.varbinds)
            vb = trim(vb);
        return t;
    }

    // Set before start_all: the config file's text instead of the mail1
    // command, directories put before bin/ on the daemon's PATH (each
    // followed by a colon), and further environment of the daemon.
    std::string config_;
    std::string path_prefix_;
    std::vector<std::string> extra_env_;
    std::string run_, registry_;
    // The daemon's --master value; empty: its default (SMUX).
    std::string master_;
    pid_t daemon_ = -1;
    pid_t agent_ = -1;
    int sent_ = 0;
};

std::string sysname_vb()
{
    return ".1.3.6.1.2.1.1.5.0 = STRING: \"sandbox\"";
}

std::string enterprise_vb(long value)
{
    return ENTERPRISE_VALUE + " = INTEGER: " + std::to_string(value);
}

// A v1 sink sees the same trap whichever protocol carried it to snmpd.
using trap_both = over_both_masters<trap_e2e>;
INSTANTIATE_TEST_SUITE_P(master, trap_both, both_masters(), master_name);

TEST_P(trap_both, agent_trap_arrives_with_host_name_enterprise_value_and_items)
{
    start_all({"grp/scalars:31:0,1,2,3,4,5:fan stopped", "grp/rows.2.5:32:0:row alarm", "grp/scalars:33::no items",
               "grp/gone:34:0,1:object missing", "grp/scalars:35:6,0:name unknown"},
              "", "");
    trap_record t = next_trap(31);
    EXPECT_EQ(t.enterprise, E);
    ASSERT_EQ(t.varbinds.size(), 8u) << t.line;
    EXPECT_EQ(t.varbinds[0], sysname_vb());
    EXPECT_EQ(t.varbinds[1], enterprise_vb(0));  // no community file
    EXPECT_EQ(t.varbinds[2], S + ".2.1.0 = INTEGER: -42");
    EXPECT_EQ(t.varbinds[3], S + ".2.2.0 = STRING: \"hello\"");
    EXPECT_EQ(t.varbinds[4], S + ".2.3.0 = Counter32: 7");
    EXPECT_EQ(t.varbinds[5], S + ".2.5.0 = OID: .1.3.6.1.4.1.32473.1");
    EXPECT_EQ(t.varbinds[6].rfind(S + ".2.6.0 = Hex-STRING: 01 AB 00", 0), 0u) << t.varbinds[6];
    // The object type's syntax, not the item type's Counter.
    EXPECT_EQ(t.varbinds[7], S + ".2.7.0 = Gauge32: 95");

    t = next_trap(32);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(0), S + ".1.1.1.1.2.5 = INTEGER: 25"}));

    t = next_trap(33);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(0)}));

    // What cannot be read is left out and said; the event still arrives.
    t = next_trap(34);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(0)}));
    EXPECT_TRUE(wait_for_line(log_path("daemon"),
                              "relay_trap: object grp/gone cannot be read, its items left out of trap # 34"));
    t = next_trap(35);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(0), S + ".2.1.0 = INTEGER: -42"}));
    EXPECT_TRUE(wait_for_line(log_path("daemon"), "relay_trap: item tUnknown of object grp/scalars is not in the MIB "
                                                  "definitions, left out of trap # 35"));
}

TEST_F(trap_e2e, both_mail_commands_receive_the_trap_text_with_one_newline)
{
    start_all({"grp/scalars:41::disk 2 failed"}, "", "");
    next_trap(41);
    for (const char* name : {"/mail1", "/mail2"}) {
        std::string path = scratch() + name;
        EXPECT_TRUE(wait_until([&] { return read_file(path) == "disk 2 failed\n"; }, std::chrono::milliseconds(10000)))
            << name << ": [" << read_file(path) << "]";
        // Made by `cat >>` under the helpers' mask, not the daemon's 0.
        struct stat st{};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << name;
    }
}

TEST_F(trap_e2e, enterprise_value_is_read_with_getone_once_and_kept)
{
    // The first counted line names a community snmpd refuses; the local
    // "public" line is tried first anyway.
    start_all({"grp/scalars:51::first", "grp/scalars:52::second"},
              "# communities\nip wrong 10.1.1.1 read\nip public 127.0.0.1 read\n", "4711");
    trap_record t = next_trap(51);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(4711)}));
    // With the community file gone, only the kept value can give 4711.
    ASSERT_EQ(unlink("/etc/netmgt/snmpd.comm"), 0);
    t = next_trap(52);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(4711)}));
}

TEST_F(trap_e2e, without_a_working_community_the_enterprise_value_is_0)
{
    start_all({"grp/scalars:61::x"}, "ip nobody 127.0.0.1 read\n", "4711");
    trap_record t = next_trap(61);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(0)}));
}

// Processes whose command line is exactly `argv`.
int processes_running(const std::vector<std::string>& argv)
{
    std::string wanted;
    for (const auto& arg : argv)
        wanted += arg + '\0';
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos && read_file(entry.path() / "cmdline") == wanted)
            ++count;
    }
    return count;
}

// Mail commands run beside the daemon, not in its way: four that never end
// hold up neither the trap, nor the next mail command, nor a get, nor the
// stop, and each is killed at its limit. They run at the normal priority.
TEST_F(trap_e2e, mail_commands_that_never_end_are_killed_and_hold_up_nothing)
{
    const std::string niceness = scratch() + "/niceness";
    config_ = "mail \"sleep 1000\";\nmail \"sleep 1000\";\nmail \"sleep 1000\";\nmail \"sleep 1000\";\n"
              "mail \"nice > " + niceness + "\";\n";
    start_all({"grp/scalars:71::first", "grp/scalars:72::second"}, "", "");
    trap_record t = next_trap(71);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(0)}));
    EXPECT_TRUE(wait_until([] { return processes_running({"sleep", "1000"}) >= 4; }, std::chrono::milliseconds(5000)));
    EXPECT_TRUE(wait_until([&] { return read_file(scratch() + "/mail2") == "first\n"; }, std::chrono::milliseconds(10000)))
        << "the next mail command did not run";
    auto get = snmpget(S + ".2.1.0");
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_NE(get.out.find("INTEGER: -42"), std::string::npos) << get.out;
    EXPECT_TRUE(wait_until([&] { return read_file(niceness) == "0\n"; }, std::chrono::milliseconds(10000)))
        << read_file(niceness);
    t = next_trap(72);
    EXPECT_EQ(t.varbinds, (std::vector<std::string>{sysname_vb(), enterprise_vb(0)}));

    // Stopped while commands may still run: done within the documented bound.
    ASSERT_EQ(kill(daemon_, SIGTERM), 0);
    auto end = wait_exit(daemon_, std::chrono::milliseconds(21000));
    ASSERT_TRUE(end.has_value()) << "the stop took longer than documented";
    EXPECT_TRUE(WIFEXITED(*end) && WEXITSTATUS(*end) == 0) << *end;  // a stop asked for
    EXPECT_TRUE(wait_until([] { return processes_running({"sleep", "1000"}) == 0; }, std::chrono::milliseconds(10000)))
        << "a hung command was left running";
    EXPECT_TRUE(wait_for_line(log_path("daemon"), "Can't send UNIX mail message: sleep 1000  (SMUX3021)"));
}

// An agent, a mail command and getone, all started by the daemon while it
// holds its own files (the community file is open while getone runs), find
// only the standard descriptors open.
TEST_F(trap_e2e, agents_and_helper_commands_start_with_only_the_standard_descriptors)
{
    std::string fd_bin = scratch() + "/fdbin";
    mkdir(fd_bin.c_str(), 0755);
    for (const char* name : {"fd_agent", "fd_mail", "getone"})
        ASSERT_EQ(symlink((bin_dir() + "/fd_report").c_str(), (fd_bin + "/" + name).c_str()), 0) << name;
    std::string report = scratch() + "/fds";
    path_prefix_ = fd_bin + ":";
    extra_env_ = {"DSMUX_FD_REPORT=" + report};
    config_ = "agent fd_agent;\nmail \"fd_mail\";\n";
    start_all({"grp/scalars:81::x"}, "ip public 127.0.0.1 read\n", "");
    next_trap(81);
    auto has = [&](const std::string& line) { return read_file(report).find(line + "\n") != std::string::npos; };
    EXPECT_TRUE(wait_until([&] { return has("fd_agent: 0 1 2") && has("fd_mail: 0 1 2") && has("getone: 0 1 2"); },
                           std::chrono::milliseconds(10000)))
        << read_file(report);
    std::istringstream lines(read_file(report));
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.substr(line.find(':')), ": 0 1 2") << line;
}

}  // namespace
