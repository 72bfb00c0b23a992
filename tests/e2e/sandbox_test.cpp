// End-to-end tests of the test bed itself, against snmpd's own objects: if
// these fail, every other end-to-end test is meaningless.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tests/e2e/sandbox.h"

namespace dsmux::e2e {
namespace {

constexpr const char* SYS_NAME = ".1.3.6.1.2.1.1.5.0";
constexpr long TMPFS_MAGIC_NUMBER = 0x01021994;

class sandbox : public sandbox_test {};

std::string host_name()
{
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

TEST_F(sandbox, snmpd_answers_sys_name_with_the_sandbox_host_name)
{
  ASSERT_GT(start_snmpd(), 0);
  // scripts/sandbox names the host; DSMUX_SANDBOX_HOSTNAME may choose another.
  const char* chosen = std::getenv("DSMUX_SANDBOX_HOSTNAME");
  ASSERT_EQ(host_name(), chosen != nullptr ? chosen : "sandbox");
  for (const char* version : {"1", "2c"}) {
    SCOPED_TRACE(version);
    auto answer = snmpget(SYS_NAME, version);
    ASSERT_EQ(answer.status, 0) << answer.err;
    EXPECT_EQ(value_of(answer), "STRING: \"" + host_name() + "\"");
  }
}

TEST_F(sandbox, set_is_read_back_and_a_restarted_snmpd_starts_from_its_configuration)
{
  ASSERT_GT(start_snmpd(), 0);
  auto set = snmpset(SYS_NAME, "s", "renamed");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(value_of(snmpget(SYS_NAME)), "STRING: \"renamed\"");
  auto walk = snmpwalk(".1.3.6.1.2.1.1", "2c");
  ASSERT_EQ(walk.status, 0) << walk.err;
  EXPECT_NE(walk.out.find(std::string(SYS_NAME) + " = STRING: \"renamed\""), std::string::npos)
      << walk.out;

  // A restarted snmpd starts from its configuration again, on the same ports.
  pid_t before = snmpd_pid();
  pid_t after = restart_snmpd();
  ASSERT_GT(after, 0);
  EXPECT_NE(after, before);
  EXPECT_EQ(value_of(snmpget(SYS_NAME)), "STRING: \"" + host_name() + "\"");
}

TEST_F(sandbox, host_directories_are_private_empty_and_writable)
{
  for (const char* dir : {"/etc/netmgt", "/opt/varden/server", "/run/dorsrvsmuxd"}) {
    SCOPED_TRACE(dir);
    auto listing = run({"ls", "-A", dir});
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_EQ(listing.out, "");
    std::string file = std::string(dir) + "/probe";
    ASSERT_TRUE(write_file(file, "written inside\n"));
    EXPECT_EQ(read_file(file), "written inside\n");
  }
  // The host's /tmp is not the one the test sees.
  struct statfs fs{};
  ASSERT_EQ(statfs("/tmp", &fs), 0);
  EXPECT_EQ(static_cast<long>(fs.f_type), TMPFS_MAGIC_NUMBER);
}

TEST_F(sandbox, v1_trap_reaches_the_trap_log_with_its_fields)
{
  ASSERT_GT(start_snmptrapd(), 0);
  auto sent = run({"snmptrap", "-v1", "-c", "public", "-m", "", "127.0.0.1:1162",
                   ".1.3.6.1.4.1.32473", "127.0.0.1", "6", "17", "0", SYS_NAME, "s", "hello",
                   ".1.3.6.1.4.1.32473.1.0", "i", "42"});
  ASSERT_EQ(sent.status, 0) << sent.err;
  auto trap = wait_for_trap([](const trap_record& t) { return t.specific == 17; });
  ASSERT_TRUE(trap) << read_file(log_path("snmptrapd"));
  EXPECT_EQ(trap->agent, "127.0.0.1");
  EXPECT_EQ(trap->enterprise, ".1.3.6.1.4.1.32473");
  EXPECT_EQ(trap->generic, 6);
  EXPECT_EQ(trap->community, "public");
  ASSERT_EQ(trap->varbinds.size(), 2u) << trap->line;
  EXPECT_EQ(trap->varbinds[0], std::string(SYS_NAME) + " = STRING: \"hello\"");
  EXPECT_EQ(trap->varbinds[1], ".1.3.6.1.4.1.32473.1.0 = INTEGER: 42");
}

TEST_F(sandbox, snmpd_cold_start_reaches_the_trap_sink_from_the_v1_trap_address)
{
  ASSERT_GT(start_snmptrapd(), 0);
  ASSERT_GT(start_snmpd(), 0);
  auto trap = wait_for_trap([](const trap_record& t) { return t.generic == 0; });
  ASSERT_TRUE(trap) << read_file(log_path("snmptrapd"));
  EXPECT_EQ(trap->agent, "127.0.0.1");
}

// A second sandbox started from this one (as a second test binary would be)
// sees neither this one's SMUX port listener, nor its files, nor its queue.
TEST_F(sandbox, second_sandbox_sees_no_listener_file_or_queue_of_the_first)
{
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(SMUX_PORT);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_TRUE(write_file("/etc/netmgt/snmpd.peers", "mine\n"));
  key_t key = ftok("/opt/varden/server", 'S');
  ASSERT_NE(key, -1);
  int queue = msgget(key, IPC_CREAT | 0600);
  ASSERT_GE(queue, 0);

  // The same probe, here and in a second sandbox: connect to port 199, list
  // the private directories, count message queues.
  const std::string probe =
      "if exec 3<>/dev/tcp/127.0.0.1/199; then echo port=open; else echo port=closed; fi; "
      "echo files=$(ls -A /etc/netmgt /opt/varden/server | grep -v '^/' | grep -v '^$' | wc -l); "
      "echo queues=$(ipcs -q | grep -c '^0x')";
  auto here = run({"bash", "-c", probe}, milliseconds(20000));
  ASSERT_EQ(here.status, 0) << here.err;
  EXPECT_EQ(here.out, "port=open\nfiles=1\nqueues=1\n");

  auto there = run({source_dir() + "/scripts/sandbox", "bash", "-c", probe}, milliseconds(30000));
  ASSERT_EQ(there.status, 0) << there.err;
  EXPECT_EQ(there.out, "port=closed\nfiles=0\nqueues=0\n");

  msgctl(queue, IPC_RMID, nullptr);
  close(listener);
}

TEST(trap_line, parses_fields_and_varbinds_and_refuses_other_lines)
{
  auto t = parse_trap_line(
      "TRAP agent=10.0.0.1 enterprise=.1.3.6.1.4.1.32473 generic=6 specific=.5 community=public "
      "vbs:.1.3.6.1.2.1.1.5.0 = STRING: \"a b\"| .1.3.6.1.4.1.32473.2.0 = Gauge32: 3");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->agent, "10.0.0.1");
  EXPECT_EQ(t->enterprise, ".1.3.6.1.4.1.32473");
  EXPECT_EQ(t->generic, 6);
  EXPECT_EQ(t->specific, 5);
  EXPECT_EQ(t->varbinds,
            (std::vector<std::string>{".1.3.6.1.2.1.1.5.0 = STRING: \"a b\"",
                                      ".1.3.6.1.4.1.32473.2.0 = Gauge32: 3"}));
  auto empty = parse_trap_line("TRAP agent=0.0.0.0 enterprise=.1.3 generic=0 specific=0 vbs:");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->varbinds.empty());
  EXPECT_EQ(empty->specific, 0);
  for (const char* other : {"", "NET-SNMP version 5.9.3", " TRAP agent=1"}) {
    EXPECT_FALSE(parse_trap_line(other)) << other;
  }
}

}  // namespace
}  // namespace dsmux::e2e
