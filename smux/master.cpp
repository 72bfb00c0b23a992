// The master-agent seam: which protocol carries the daemon, and the
// association's log both protocols share.
#include "smux/master.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/log.h"
#include "lib/paths.h"
#include "mail/mail_format.h"
#include "smux/peer.h"

using dsmux::PROGRAM_NAME;

namespace {

master_kind kind = master_kind::smux;
stream_address agentx_address = [] {
    stream_address a;
    stream_parse_address(AGENTX_DEFAULT_ADDRESS, &a);
    return a;
}();

const master_transport* smux_side = nullptr;
const master_transport* agentx_side = nullptr;
// The protocol of the association now, or of the last one tried.
const master_transport* current = nullptr;
// With --master=auto: the protocol last written to the log.
const master_transport* announced = nullptr;

// The log's state (see master.h).
bool unreachable_written = false;
// Set while --master=auto tries AgentX with SMUX still to try: a master
// that is not there over AgentX is then no news yet.
bool probing = false;
bool associated_now = false;
bool associated_before = false;

const master_transport* chosen_first()
{
    return kind == master_kind::smux ? smux_side : agentx_side;
}

const master_transport* active()
{
    if (current == nullptr)
        current = chosen_first();
    return current;
}

// "SMUX to 127.0.0.1:199" or "AgentX at /var/agentx/master".
std::string master_describe()
{
    if (active() == agentx_side)
        return std::string("AgentX at ") + stream_address_text(agentx_address);
    return "SMUX to 127.0.0.1:199";
}

void announce(const master_transport* transport)
{
    if (kind != master_kind::automatic || transport == announced)
        return;
    announced = transport;
    log_line_at(LOG_PRI_INFO, stderr, "%s: Master agent reached over %s  (SMUX4052)\n", PROGRAM_NAME,
                master_describe().c_str());
}

}  // namespace

bool master_choose(const char* text)
{
    std::string value = text != nullptr ? text : "";
    master_kind k;
    std::string rest;
    if (value == "smux") {
        k = master_kind::smux;
    } else if (value.rfind("agentx", 0) == 0) {
        k = master_kind::agentx;
        rest = value.substr(6);
    } else if (value.rfind("auto", 0) == 0) {
        k = master_kind::automatic;
        rest = value.substr(4);
    } else {
        return false;
    }
    stream_address address = agentx_address;
    if (!rest.empty()) {
        if (rest[0] != ':' || !stream_parse_address(rest.substr(1), &address))
            return false;
    }
    kind = k;
    agentx_address = address;
    current = nullptr;
    return true;
}

master_kind master_choice() { return kind; }

bool master_may_use_smux() { return kind != master_kind::agentx; }

void master_set_transports(const master_transport* smux, const master_transport* agentx)
{
    smux_side = smux;
    agentx_side = agentx;
    current = nullptr;
}

const char* master_status_text()
{
    static std::string text;
    text = master_describe();
    return text.c_str();
}

bool master_probe(std::string* report)
{
    auto one = [&](const master_transport* transport, const std::string& where) {
        std::string why;
        bool answers = transport->probe(agentx_address, &why);
        *report += std::string(transport->name) + " master " + where + ": " + why + "\n";
        return answers;
    };
    bool agentx = kind != master_kind::smux && one(agentx_side, "at " + stream_address_text(agentx_address));
    bool smux = kind != master_kind::agentx && one(smux_side, "at 127.0.0.1:199");
    return agentx || smux;
}

int master_connect()
{
    if (kind != master_kind::automatic) {
        current = chosen_first();
        return current->connect(agentx_address);
    }
    // AgentX first: where the master offers it, nothing of snmpd's set-up
    // needs changing. SMUX only when the peers file lets us open it.
    current = agentx_side;
    probing = peer_has_password();
    int fd = current->connect(agentx_address);
    probing = false;
    if (fd < 0 && peer_has_password()) {
        current = smux_side;
        fd = current->connect(agentx_address);
    }
    if (fd >= 0)
        announce(current);
    return fd;
}

int master_fd() { return active()->fd(); }
bool master_opened() { return active()->opened(); }
void master_writable() { active()->writable(); }
void master_readable() { active()->readable(); }
bool master_pending() { return active()->pending(); }
std::int64_t master_answer_due() { return active()->answer_due(); }
void master_overdue() { active()->overdue(); }
std::int32_t master_state() { return active()->state(); }
bool master_given_up() { return active()->given_up(); }

void master_release()
{
    if (smux_side != nullptr && agentx_side != nullptr)
        active()->release();
}

int master_send_trap(std::int32_t specific, const snmp_varbind* list)
{
    return active()->send_trap(specific, list);
}

void master_log_failure(const char* format, ...)
{
    // A master that stays away is written once, not at every retry.
    if (probing || unreachable_written)
        return;
    unreachable_written = true;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log_line(stderr, "%s", line);
}

void master_log_unreachable(const char* operation, const char* error, const char* detail, const char* tag)
{
    master_log_failure("%s: %s: %s [%s]  (%s)\n", PROGRAM_NAME, operation, error, detail, tag);
}

void master_log_answered() { unreachable_written = false; }

void master_log_opening() { associated_now = false; }

void master_log_granted(const char* protocol)
{
    if (!associated_now && associated_before)
        log_line_at(LOG_PRI_INFO, stderr, "%s: %s association with the master agent regained  (SMUX4045)\n",
                    PROGRAM_NAME, protocol);
    associated_now = true;
    associated_before = true;
}

void master_log_lost(const char* protocol, const char* why, bool orderly)
{
    if (!associated_now)
        return;
    associated_now = false;
    log_line_at(orderly ? LOG_PRI_INFO : LOG_PRI_WARNING, stderr,
                "%s: %s association with the master agent lost: %s; the daemon's objects are not served until it "
                "is made again  (SMUX4050)\n",
                PROGRAM_NAME, protocol, why);
}

bool master_log_associated() { return associated_now; }

void master_log_reset()
{
    unreachable_written = false;
    associated_now = false;
    associated_before = false;
    announced = nullptr;
}
