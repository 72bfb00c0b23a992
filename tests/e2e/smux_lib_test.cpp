// End-to-end tests of the SMUX library against net-snmp's snmpd: a small
// sub-agent built on it (test_peer) registers, answers the SNMP clients
// through snmpd, takes commits and rollbacks, sends a trap, and survives
// snmpd going away.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "tests/e2e/sandbox.h"

namespace dsmux::e2e {
namespace {

constexpr const char* SUBTREE = ".1.3.6.1.4.1.32473.99";
constexpr const char* PEER_IDENTITY = ".1.3.6.1.4.1.32473.99.100";
constexpr const char* PEER_PASSWORD = "peer-secret";

std::string under(const char* tail) { return std::string(SUBTREE) + tail; }

class smux_lib : public sandbox_test {
 protected:
  // snmptrapd, and snmpd with the peer's smuxpeer line; the peers file names
  // the peer with `password`.
  void start_bed(const std::string& password = PEER_PASSWORD) {
    snmpd_config conf;
    conf.peers = {{PEER_IDENTITY, PEER_PASSWORD}};
    write_snmpd_conf(conf);
    write_peers_file("# name identity password\ntestpeer " + std::string(PEER_IDENTITY) + " " +
                     password + "\n");
    ASSERT_GT(start_snmptrapd(), 0);
    ASSERT_GT(start_snmpd(), 0);
  }

  pid_t start_peer(std::vector<std::string> extra = {}, const std::string& name = "peer") {
    std::vector<std::string> argv{bin_dir() + "/test_peer", "--subtree", SUBTREE};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return spawn(argv, name);
  }

  bool peer_said(const std::string& line, const std::string& name = "peer",
                 milliseconds timeout = milliseconds(10000)) {
    return wait_for_line(log_path(name), line + "\n", timeout);
  }

  std::string peer_log(const std::string& name = "peer") { return read_file(log_path(name)); }

  run_result set_two(const std::string& oid1, const std::string& type1, const std::string& v1,
                     const std::string& oid2, const std::string& type2, const std::string& v2) {
    return run({"snmpset", "-v1", "-c", "private", "-On", "-m", "", "-t", "30", "-r", "0",
                "127.0.0.1:161", oid1, type1, v1, oid2, type2, v2},
               milliseconds(45000));
  }
};

TEST_F(smux_lib, peer_registers_its_subtree_and_is_refused_one_of_snmpds_own)
{
  start_bed();
  // snmpd registers each object of its system group on its own: sysName is one.
  start_peer({"--subtree", ".1.3.6.1.2.1.1.5"});
  ASSERT_TRUE(peer_said("ready")) << peer_log();
  std::string log = peer_log();
  // net-snmp grants priority 0 when -1 ("any") is asked.
  EXPECT_NE(log.find("registered 1.3.6.1.4.1.32473.99 0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("refused 1.3.6.1.2.1.1.5\n"), std::string::npos) << log;
  // snmpd keeps serving its own system group.
  EXPECT_EQ(value_of(snmpget(".1.3.6.1.2.1.1.5.0")), "STRING: \"sandbox\"");
}

TEST_F(smux_lib, get_getnext_and_walk_are_answered_by_the_peer_through_snmpd)
{
  start_bed();
  start_peer();
  ASSERT_TRUE(peer_said("ready")) << peer_log();

  struct {
    const char* tool;
    std::string oid;
    const char* version;
    std::string expected;  // the whole first answer line
  } cases[] = {
      {"get", under(".1.0"), "1", under(".1.0") + " = INTEGER: 42"},
      {"get", under(".2.0"), "2c", under(".2.0") + " = STRING: \"hello\""},
      {"getnext", SUBTREE, "1", under(".1.0") + " = INTEGER: 42"},
      {"getnext", under(".1.0"), "2c", under(".2.0") + " = STRING: \"hello\""},
      {"getnext", under(".2.5"), "1", under(".3.0") + " = INTEGER: 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.oid + " v" + c.version);
    auto answer = std::string(c.tool) == "get" ? snmpget(c.oid, c.version)
                                               : snmpgetnext(c.oid, c.version);
    ASSERT_EQ(answer.status, 0) << answer.err;
    EXPECT_EQ(answer.out, c.expected + "\n");
  }
  EXPECT_NE(peer_log().find("get " + under(".1.0").substr(1) + "\n"), std::string::npos);

  auto walk = snmpwalk(SUBTREE, "2c");
  ASSERT_EQ(walk.status, 0) << walk.err;
  EXPECT_EQ(walk.out, under(".1.0") + " = INTEGER: 42\n" + under(".2.0") +
                          " = STRING: \"hello\"\n" + under(".3.0") + " = INTEGER: 0\n");

  auto missing = snmpget(under(".7.0"), "1");
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("noSuchName"), std::string::npos) << missing.err;
}

TEST_F(smux_lib, set_is_committed_and_a_set_that_fails_anywhere_is_rolled_back)
{
  start_bed();
  start_peer();
  ASSERT_TRUE(peer_said("ready")) << peer_log();

  auto set = snmpset(under(".2.0"), "s", "changed");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_TRUE(peer_said("set " + under(".2.0").substr(1) + " changed")) << peer_log();
  EXPECT_TRUE(peer_said("commit")) << peer_log();
  EXPECT_EQ(value_of(snmpget(under(".2.0"))), "STRING: \"changed\"");

  // The second varbind names a read-only object: the whole request fails and
  // the master rolls the first one back.
  auto failed = set_two(under(".2.0"), "s", "other", under(".1.0"), "i", "5");
  EXPECT_NE(failed.status, 0) << failed.out;
  EXPECT_TRUE(peer_said("rollback")) << peer_log();
  EXPECT_EQ(value_of(snmpget(under(".2.0"))), "STRING: \"changed\"");

  // A value of the wrong type is refused by the peer itself.
  auto wrong_type = snmpset(under(".3.0"), "s", "text");
  EXPECT_NE(wrong_type.status, 0) << wrong_type.out;
  EXPECT_EQ(value_of(snmpget(under(".3.0"))), "INTEGER: 0");
}

TEST_F(smux_lib, trap_from_the_peer_reaches_the_trap_sink_with_enterprise_and_varbinds)
{
  start_bed();
  pid_t peer = start_peer();
  ASSERT_TRUE(peer_said("ready")) << peer_log();
  ASSERT_EQ(kill(peer, SIGUSR1), 0);
  ASSERT_TRUE(peer_said("trap sent")) << peer_log();

  auto trap = wait_for_trap([](const trap_record& t) { return t.generic == 6; });
  ASSERT_TRUE(trap) << read_file(log_path("snmptrapd"));
  EXPECT_EQ(trap->enterprise, ".1.3.6.1.4.1.32473");
  EXPECT_EQ(trap->specific, 9);
  // snmpd replaces the agent-addr by its v1trapaddress.
  EXPECT_EQ(trap->agent, "127.0.0.1");
  EXPECT_EQ(trap->varbinds, (std::vector<std::string>{under(".2.0") + " = STRING: \"hello\"",
                                                      under(".1.0") + " = INTEGER: 42"}));
}

TEST_F(smux_lib, peer_sees_the_end_when_snmpd_stops_and_registers_again_after_restart)
{
  start_bed();
  pid_t peer = start_peer();
  ASSERT_TRUE(peer_said("ready")) << peer_log();

  // snmpd sends no ClosePDU on SIGTERM: the library reports the end of the
  // stream as a close, and the peer leaves normally (no crash, no hang).
  stop_snmpd();
  ASSERT_TRUE(peer_said("close 0")) << peer_log();
  auto status = wait_exit(peer, milliseconds(5000));
  ASSERT_TRUE(status);
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
  EXPECT_EQ(WEXITSTATUS(*status), 0);

  ASSERT_GT(start_snmpd(), 0);
  start_peer({}, "peer2");
  ASSERT_TRUE(peer_said("ready", "peer2")) << peer_log("peer2");
  EXPECT_EQ(value_of(snmpget(under(".1.0"))), "INTEGER: 42");
}

TEST_F(smux_lib, wrong_password_gets_the_association_closed_and_nothing_registered)
{
  start_bed("not-the-password");
  pid_t peer = start_peer();
  ASSERT_TRUE(peer_said("close 5")) << peer_log();  // authenticationFailure
  EXPECT_EQ(peer_log().find("ready"), std::string::npos) << peer_log();
  auto status = wait_exit(peer, milliseconds(5000));
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  auto answer = snmpget(under(".1.0"), "2c");
  EXPECT_NE(answer.out.find("No Such Object"), std::string::npos) << answer.out << answer.err;
}

// ------------------------------------------------------------ wire capture

// A TCP relay between the peer and snmpd's port 199 that keeps what snmpd
// sends, to check the bytes the library has to understand.
class relay {
 public:
  explicit relay(int port) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(port);
    ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          listen(listener_, 1) == 0 && pipe2(stop_pipe_, O_CLOEXEC) == 0;
    if (ok_) worker_ = std::thread([this] { serve(); });
  }
  ~relay() {
    if (worker_.joinable()) {
      char c = 0;
      ssize_t ignored = write(stop_pipe_[1], &c, 1);
      (void)ignored;
      worker_.join();
    }
    for (int fd : {listener_, stop_pipe_[0], stop_pipe_[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  bool ok() const { return ok_; }
  std::string from_master() {
    std::lock_guard<std::mutex> lock(mutex_);
    return from_master_;
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }

  void serve() {
    pollfd first[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(first, 2, -1) <= 0 || first[1].revents != 0) return;
    int peer = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    int master = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(SMUX_PORT);
    if (peer < 0 || master < 0 ||
        connect(master, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (peer >= 0) close(peer);
      if (master >= 0) close(master);
      return;
    }
    int one = 1;
    setsockopt(master, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pollfd fds[3] = {{peer, POLLIN, 0}, {master, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    while (poll(fds, 3, -1) > 0 && fds[2].revents == 0) {
      char buf[4096];
      if (fds[0].revents != 0) {
        ssize_t n = read(peer, buf, sizeof buf);
        // A PDU reaches snmpd in the one write it came in.
        if (n <= 0 || write(master, buf, static_cast<size_t>(n)) != n) break;
      }
      if (fds[1].revents != 0) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          from_master_.append(buf, static_cast<size_t>(n));
        }
        if (write(peer, buf, static_cast<size_t>(n)) != n) break;
      }
    }
    close(peer);
    close(master);
  }

  int listener_ = -1;
  int stop_pipe_[2] = {-1, -1};
  bool ok_ = false;
  std::thread worker_;
  std::mutex mutex_;
  std::string from_master_;
};

// Splits a SMUX stream into whole PDUs by their BER headers.
std::vector<std::string> split_pdus(const std::string& stream)
{
  std::vector<std::string> pdus;
  size_t at = 0;
  while (at + 2 <= stream.size()) {
    size_t header = 2;
    size_t len = static_cast<uint8_t>(stream[at + 1]);
    if (len & 0x80) {
      size_t n = len & 0x7f;
      if (n == 0 || n > 4 || at + 2 + n > stream.size()) break;
      len = 0;
      for (size_t i = 0; i < n; ++i) len = (len << 8) | static_cast<uint8_t>(stream[at + 2 + i]);
      header += n;
    }
    if (at + header + len > stream.size()) break;
    pdus.push_back(stream.substr(at, header + len));
    at += header + len;
  }
  return pdus;
}

TEST_F(smux_lib, peer_understands_what_snmpd_sends_long_form_lengths_and_four_byte_answers)
{
  constexpr int RELAY_PORT = 1199;
  start_bed();
  relay capture(RELAY_PORT);
  ASSERT_TRUE(capture.ok()) << strerror(errno);
  start_peer({"--port", std::to_string(RELAY_PORT), "--subtree", ".1.3.6.1.2.1.1.5"});
  ASSERT_TRUE(peer_said("ready")) << peer_log();

  EXPECT_EQ(value_of(snmpget(under(".1.0"))), "INTEGER: 42");
  EXPECT_EQ(snmpgetnext(SUBTREE).status, 0);
  EXPECT_EQ(snmpset(under(".3.0"), "i", "5").status, 0);
  ASSERT_TRUE(peer_said("commit")) << peer_log();
  EXPECT_NE(set_two(under(".3.0"), "i", "6", under(".1.0"), "i", "1").status, 0);
  ASSERT_TRUE(peer_said("rollback")) << peer_log();
  EXPECT_EQ(value_of(snmpget(under(".3.0"))), "INTEGER: 5");

  auto pdus = split_pdus(capture.from_master());
  std::set<std::string> kinds;
  const std::string rrsp_granted("\x43\x04\x00\x00\x00\x00", 6);
  const std::string rrsp_refused("\x43\x04\xff\xff\xff\xff", 6);
  for (const auto& pdu : pdus) {
    uint8_t tag = static_cast<uint8_t>(pdu[0]);
    if (tag == 0x43) {
      // A minimal encoding would be one byte; net-snmp always sends four.
      EXPECT_TRUE(pdu == rrsp_granted || pdu == rrsp_refused) << pdu.size() << " bytes";
      kinds.insert(pdu == rrsp_refused ? "rrsp-refused" : "rrsp");
    } else if (tag == 0x44) {
      kinds.insert(pdu == std::string("\x44\x01\x00", 3) ? "commit" : "rollback");
    } else if (tag == 0xa0 || tag == 0xa1 || tag == 0xa3) {
      // The master's requests carry non-minimal long-form lengths.
      EXPECT_EQ(static_cast<uint8_t>(pdu[1]), 0x82) << "tag " << int(tag);
      kinds.insert(tag == 0xa0 ? "get" : tag == 0xa1 ? "getnext" : "set");
    }
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"commit", "get", "getnext", "rollback", "rrsp",
                                          "rrsp-refused", "set"}));

  // DSMUX_SAVE_SEEDS=<dir> keeps one PDU of each kind as a fuzzing seed.
  if (const char* dir = std::getenv("DSMUX_SAVE_SEEDS")) {
    std::set<std::string> saved;
    for (const auto& pdu : pdus) {
      uint8_t tag = static_cast<uint8_t>(pdu[0]);
      std::string kind = tag == 0x43   ? (static_cast<uint8_t>(pdu[2]) == 0xff ? "rrsp-refused" : "rrsp")
                         : tag == 0x44 ? (pdu[2] == 0 ? "commit" : "rollback")
                         : tag == 0xa0 ? "get"
                         : tag == 0xa1 ? "getnext"
                         : tag == 0xa3 ? "set"
                                       : "other";
      if (saved.insert(kind).second) {
        write_file(std::string(dir) + "/snmpd-" + kind + ".bin", pdu);
      }
    }
    write_file(std::string(dir) + "/snmpd-stream.bin", capture.from_master());
  }
}

}  // namespace
}  // namespace dsmux::e2e
