// test_peer: a small SMUX sub-agent built on the SMUX library, for the
// end-to-end tests of that library against net-snmp's snmpd.
//
//   test_peer [--name NAME] [--peers FILE] [--port N] --subtree OID [--subtree OID ...]
//
// It looks NAME (default "testpeer") up in the peers file, opens the
// association, registers each subtree read-write in turn, and serves three
// objects under the first subtree S:
//   S.1.0  INTEGER 42, read-only
//   S.2.0  OCTET STRING "hello", writable with an OCTET STRING
//   S.3.0  INTEGER 0, writable with an INTEGER
// A set is kept pending until the master commits it and dropped on rollback.
// SIGUSR1 sends an enterprise-specific trap (specific 9) with S.2.0 and S.1.0;
// SIGTERM closes the association (goingDown) and ends the program.
//
// Each event goes to the standard output as one line, so that tests can wait
// for it: "open", "registered OID PRIORITY", "refused OID", "ready",
// "get OID", "getnext OID", "set OID VALUE", "commit", "rollback",
// "trap sent", "close REASON", "error TEXT".
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "snmp/errors.h"
#include "snmp/mib.h"
#include "snmp/peers.h"
#include "snmp/smux_pdu.h"
#include "snmp/smux_session.h"
#include "snmp/types.h"

namespace {

volatile sig_atomic_t trap_wanted = 0;
volatile sig_atomic_t stop_wanted = 0;

void on_usr1(int) { trap_wanted = 1; }
void on_term(int) { stop_wanted = 1; }

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string dot(const snmp_oid* oid)
{
  char buf[SNMP_DOT_TEXT_SIZE];
  if (make_dot_from_obj_id(oid, buf, sizeof buf) != 0) return "?";
  return buf;
}

struct object {
  snmp_oid* name;
  int syntax;
  bool writable;
  int32_t number;
  std::string text;
};

std::vector<object> objects;              // in OID order
std::map<size_t, object> pending_sets;    // by position in objects
std::vector<snmp_oid*> subtrees;
snmp_oid* identity = nullptr;

// Releases what the peer made, so that a sanitizer build sees no leak
// whichever way the peer ends.
void release_all()
{
  for (auto& o : objects) free_oid(o.name);
  objects.clear();
  for (auto* s : subtrees) free_oid(s);
  subtrees.clear();
  free_oid(identity);
  identity = nullptr;
}

snmp_oid* child(const snmp_oid* base, uint32_t column)
{
  snmp_oid* oid = oid_extend(base, 2);
  if (oid == nullptr) return nullptr;
  oid->ids[oid->count - 2] = column;
  oid->ids[oid->count - 1] = 0;
  return oid;
}

void fill(snmp_value* value, const object& o)
{
  snmp_value_clear(value);
  value->syntax = o.syntax;
  if (o.syntax == SNMP_INTEGER) {
    value->sval = o.number;
    value->uval = static_cast<uint32_t>(o.number);
  } else {
    value->octets = make_octetstring(o.text.data(), o.text.size());
  }
}

int find_exact(const snmp_oid* name)
{
  for (size_t i = 0; i < objects.size(); ++i) {
    if (oid_cmp(objects[i].name, name) == 0) return static_cast<int>(i);
  }
  return -1;
}

int find_after(const snmp_oid* name)
{
  for (size_t i = 0; i < objects.size(); ++i) {
    if (oid_cmp(objects[i].name, name) > 0) return static_cast<int>(i);
  }
  return -1;
}

void answer(smux_event& ev)
{
  smux_request* req = ev.request;
  int index = 1;
  for (snmp_varbind* vb = req->varbinds; vb != nullptr; vb = vb->next, ++index) {
    int status = SNMP_NO_ERROR;
    if (ev.op == SMUX_OP_GET) {
      say("get %s", dot(vb->name).c_str());
      int at = find_exact(vb->name);
      if (at < 0) {
        status = SNMP_NO_SUCH_NAME;
      } else {
        fill(&vb->value, objects[at]);
      }
    } else if (ev.op == SMUX_OP_GET_NEXT) {
      say("getnext %s", dot(vb->name).c_str());
      int at = find_after(vb->name);
      if (at < 0) {
        status = SNMP_NO_SUCH_NAME;
      } else {
        free_oid(vb->name);
        vb->name = oid_cpy(objects[at].name);
        fill(&vb->value, objects[at]);
      }
    } else {
      int at = find_exact(vb->name);
      std::string shown = vb->value.syntax == SNMP_INTEGER ? std::to_string(vb->value.sval)
                          : vb->value.octets != nullptr
                              ? std::string(reinterpret_cast<char*>(vb->value.octets->bytes),
                                            vb->value.octets->len)
                              : std::string("?");
      say("set %s %s", dot(vb->name).c_str(), shown.c_str());
      if (at < 0) {
        status = SNMP_NO_SUCH_NAME;
      } else if (!objects[at].writable) {
        status = SNMP_READ_ONLY;
      } else if (vb->value.syntax != objects[at].syntax ||
                 (vb->value.syntax == SNMP_OCTET_STRING && vb->value.octets == nullptr)) {
        status = SNMP_BAD_VALUE;
      } else {
        object next = objects[at];
        next.name = nullptr;
        if (next.syntax == SNMP_INTEGER) {
          next.number = vb->value.sval;
        } else {
          next.text = shown;
        }
        pending_sets[static_cast<size_t>(at)] = next;
      }
    }
    if (status != SNMP_NO_ERROR) {
      req->error_status = status;
      req->error_index = index;
      break;
    }
  }
  if (smux_response(req) != 0) say("error response: %s", smux_error(smux_errno));
}

void commit_or_rollback(int32_t what)
{
  if (what == SMUX_COMMIT) {
    for (auto& [at, next] : pending_sets) {
      objects[at].number = next.number;
      objects[at].text = next.text;
    }
    say("commit");
  } else {
    say("rollback");
  }
  pending_sets.clear();
}

void send_trap()
{
  snmp_varbind* vbs = make_varbind(oid_cpy(objects[1].name), SNMP_OCTET_STRING, 0, 0,
                                   make_octetstring(objects[1].text.data(), objects[1].text.size()),
                                   nullptr);
  if (vbs != nullptr) {
    vbs->next = make_varbind(oid_cpy(objects[0].name), SNMP_INTEGER, 0, objects[0].number,
                             nullptr, nullptr);
  }
  if (smux_trap(SNMP_TRAP_ENTERPRISE_SPECIFIC, 9, vbs) == 0) {
    say("trap sent");
  } else {
    say("error trap: %s", smux_error(smux_errno));
  }
  free_varbind_list(vbs);
}

int usage()
{
  std::fprintf(stderr,
               "usage: test_peer [--name NAME] [--peers FILE] [--port N] --subtree OID...\n");
  return 64;
}

// Waits until fd is ready for reading (or writing); false on time-out or
// signal, so that the caller sees the signal flags.
bool ready(int fd, bool for_write)
{
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  return xselect(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, 1) > 0;
}

}  // namespace

int run_peer(int argc, char** argv)
{
  std::string name = "testpeer";
  std::string peers = dsmux::PEERS_FILE;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (arg == "--name") {
      name = value;
    } else if (arg == "--peers") {
      peers = value;
    } else if (arg == "--port") {
      port = std::atoi(value);
    } else if (arg == "--subtree") {
      snmp_oid* oid = make_obj_id_from_dot(value);
      if (oid == nullptr) return usage();
      subtrees.push_back(oid);
    } else {
      return usage();
    }
  }
  if (subtrees.empty()) return usage();

  struct sigaction sa{};
  sa.sa_handler = on_usr1;  // no SA_RESTART: the signal cuts the wait short
  sigaction(SIGUSR1, &sa, nullptr);
  sa.sa_handler = on_term;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  objects.push_back({child(subtrees[0], 1), SNMP_INTEGER, false, 42, ""});
  objects.push_back({child(subtrees[0], 2), SNMP_OCTET_STRING, true, 0, "hello"});
  objects.push_back({child(subtrees[0], 3), SNMP_INTEGER, true, 0, ""});

  smux_peer* entry = getsmuxEntrybyname(name.c_str(), peers.c_str());
  if (entry == nullptr) {
    say("error no entry for %s in %s", name.c_str(), peers.c_str());
    return 2;
  }
  identity = oid_cpy(entry->identity);
  std::string password = entry->password;

  if (port != 0) smux_set_master("127.0.0.1", port);
  int fd = smux_init(0);
  if (fd < 0) {
    say("error init: %s [%s]", smux_error(smux_errno), smux_info);
    return 2;
  }
  // The master blocks until the OpenPDU arrives: send it as soon as the
  // connection is made.
  while (true) {
    if (stop_wanted) return 0;
    if (!ready(fd, true)) continue;
    if (smux_simple_open(identity, "test peer", password.c_str(),
                         static_cast<int>(password.size())) == 0) {
      break;
    }
    if (smux_errno != SMUX_ERR_IN_PROGRESS) {
      say("error open: %s [%s]", smux_error(smux_errno), smux_info);
      return 2;
    }
  }
  say("open");

  size_t next_subtree = 0;
  auto register_next = [&] {
    if (next_subtree < subtrees.size()) {
      if (smux_register(subtrees[next_subtree], -1, SMUX_REG_READ_WRITE) != 0) {
        say("error register: %s [%s]", smux_error(smux_errno), smux_info);
      }
    } else {
      say("ready");
    }
  };
  register_next();

  while (true) {
    if (stop_wanted) {
      smux_close(SMUX_GOING_DOWN);
      say("closed");
      return 0;
    }
    if (trap_wanted) {
      trap_wanted = 0;
      send_trap();
    }
    if (smux_fd() < 0) {
      say("error association lost");
      return 3;
    }
    if (!smux_pending() && !ready(smux_fd(), false)) continue;
    smux_event ev{};
    if (smux_wait(&ev, 0) != 0) {
      if (smux_errno == SMUX_ERR_IN_PROGRESS) continue;
      say("error wait: %s [%s]", smux_error(smux_errno), smux_info);
      smux_close(SMUX_PROTOCOL_ERROR);
      return 3;
    }
    switch (ev.op) {
      case SMUX_OP_CLOSE:
        say("close %d", ev.number);
        return 0;
      case SMUX_OP_REGISTER_RESPONSE:
        if (ev.number < 0) {
          say("refused %s", dot(subtrees[next_subtree]).c_str());
        } else {
          say("registered %s %d", dot(subtrees[next_subtree]).c_str(), ev.number);
        }
        ++next_subtree;
        register_next();
        break;
      case SMUX_OP_COMMIT_OR_ROLLBACK:
        commit_or_rollback(ev.number);
        break;
      case SMUX_OP_GET:
      case SMUX_OP_GET_NEXT:
      case SMUX_OP_SET:
        answer(ev);
        break;
      default:
        say("error unexpected event %d", ev.op);
        break;
    }
  }
}

int main(int argc, char** argv)
{
  int status = run_peer(argc, argv);
  smux_close(SMUX_GOING_DOWN);
  release_all();
  return status;
}
