// The SMUX association: one TCP connection to the local master agent, the
// input buffer that assembles PDUs across partial reads, and the send path
// that writes every PDU whole in one call.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>

#include <cerrno>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <string>

#include "snmp/smux_session.h"

#include "snmp/smux_pdu.h"
#include "snmp/stream.h"

namespace {

// Whether the last failure was the loss of the master (see smux_lost).
bool lost = false;

struct association {
    stream_conn conn;
    bool open_sent = false;
    std::string host = "127.0.0.1";
    int port = 0;
    timespec started{};
    smux_request* last_request = nullptr;
};

// The one association; every routine below works on it.
association assoc;

// Records a failure for smux_errno/smux_info/smux_lost; always -1.
int record_failure(int code, bool master_lost, const char* format, va_list args)
{
    smux_errno = code;
    lost = master_lost;
    vsnprintf(smux_info, sizeof smux_info, format, args);
    return -1;
}

int fail(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
int fail(int code, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    record_failure(code, false, format, args);
    va_end(args);
    return -1;
}

// A stream failure in the library's terms: a lost master is
// SMUX_ERR_SYSTEM with smux_lost(), the connection already closed.
int fail_stream(int result)
{
    switch (result) {
    case STREAM_AGAIN: return fail(SMUX_ERR_IN_PROGRESS, "%s", assoc.conn.info);
    case STREAM_LOST:
        assoc.open_sent = false;
        fail(SMUX_ERR_SYSTEM, "%s", assoc.conn.info);
        lost = true;
        return -1;
    case STREAM_BAD: return fail(SMUX_ERR_PDU_FORMAT, "%s", assoc.conn.info);
    case STREAM_INVALID: return fail(SMUX_ERR_INVALID, "%s", assoc.conn.info);
    default: return fail(SMUX_ERR_SYSTEM, "%s", assoc.conn.info);
    }
}

void drop_request()
{
    free_request(assoc.last_request);
    assoc.last_request = nullptr;
}

void drop_connection()
{
    stream_close(assoc.conn);
    assoc.open_sent = false;
    drop_request();
}

int master_port()
{
    if (assoc.port > 0)
        return assoc.port;
    struct servent* entry = getservbyname("smux", "tcp");
    return entry ? ntohs(static_cast<uint16_t>(entry->s_port)) : SMUX_DEFAULT_PORT;
}

// Sends one PDU with one call: net-snmp cannot reassemble a PDU that
// arrives in two pieces with a pause between them (see stream_send for the
// deadline). When the deadline passes the master is not reading, and the
// association is dropped.
int send_pdu(const ber::writer& w)
{
    if (assoc.conn.fd < 0)
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    if (w.used > SMUX_MAX_PDU)
        return fail(SMUX_ERR_TOO_BIG, "PDU of %zu bytes", w.used);
    int result = stream_send(assoc.conn, w.data(), w.used);
    return result == STREAM_OK ? 0 : fail_stream(result);
}

// Until the OpenPDU has gone out the master knows nothing of us: anything
// else it receives first makes it drop the connection.
bool association_open() { return assoc.conn.fd >= 0 && assoc.open_sent; }

uint32_t ticks_since_start()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t cs = (now.tv_sec - assoc.started.tv_sec) * 100 + (now.tv_nsec - assoc.started.tv_nsec) / 10000000;
    return static_cast<uint32_t>(cs < 0 ? 0 : cs);
}

// Takes the first buffered PDU if it is whole: 1 delivered, 0 not yet
// (reading what the socket holds), -1 failure, 2 the master went away.
int take_pdu(smux_event* event)
{
    size_t total = 0;
    int result = stream_take(assoc.conn, smux_pdu_frame, &total);
    if (result == STREAM_AGAIN)
        return 0;
    if (result == STREAM_LOST)
        return 2;
    if (result != STREAM_OK)
        return fail_stream(result);
    const char* why = "";
    smux_event ev{};
    uint8_t tag = assoc.conn.in[0];
    int rc = smux_pdu_decode(assoc.conn.in.data(), total, &ev, &why);
    stream_consume(assoc.conn, total);
    if (rc != 0) {
        assoc.conn.poisoned = true;
        return fail(SMUX_ERR_PDU_FORMAT, "malformed PDU (tag 0x%02x): %s", tag, why);
    }
    assoc.last_request = (ev.op == SMUX_OP_GET || ev.op == SMUX_OP_GET_NEXT || ev.op == SMUX_OP_SET) ? ev.request
                                                                                               : nullptr;
    *event = ev;
    return 1;
}

// The master has gone (end of stream or reset): the association is over and
// the caller hears of it as the master's close.
int deliver_lost(smux_event* event)
{
    drop_connection();
    event->op = SMUX_OP_CLOSE;
    event->number = SMUX_GOING_DOWN;
    smux_errno = SMUX_ERR_NONE;
    smux_info[0] = '\0';
    return 0;
}

}  // namespace

bool smux_lost(void) { return lost; }

int smux_set_send_wait(int milliseconds)
{
    int kept = assoc.conn.send_wait_ms;
    assoc.conn.send_wait_ms = milliseconds > 0 ? milliseconds : SMUX_SEND_WAIT_MS;
    return kept;
}

void smux_set_master(const char* host, int port)
{
    assoc.host = host ? host : "127.0.0.1";
    assoc.port = port > 0 ? port : 0;
}

int smux_fd(void) { return assoc.conn.fd; }

stream_address smux_master_address(void)
{
    stream_address address;
    address.tcp = true;
    address.host = assoc.host;
    address.port = master_port();
    return address;
}

int smux_init(int /*debug*/)
{
    drop_connection();
    smux_errno = SMUX_ERR_NONE;
    smux_info[0] = '\0';
    lost = false;
    int result = stream_open(assoc.conn, smux_master_address(), SMUX_MAX_INPUT_PDU);
    if (result != STREAM_OK)
        return fail_stream(result);
    clock_gettime(CLOCK_MONOTONIC, &assoc.started);
    return assoc.conn.fd;
}

int smux_simple_open(const snmp_oid* identity, const char* description, const char* password, int password_len)
{
    if (assoc.conn.fd < 0)
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    if (identity == nullptr || password_len < 0 || (password == nullptr && password_len != 0))
        return fail(SMUX_ERR_INVALID, "smux_simple_open: bad argument");
    int connected = stream_check_connected(assoc.conn);
    if (connected != STREAM_OK)
        return fail_stream(connected);
    uint8_t buf[SMUX_MAX_PDU];
    ber::writer w(buf, sizeof buf);
    if (!smux_encode_open(w, identity, description, password, static_cast<size_t>(password_len)))
        return w.overflow ? fail(SMUX_ERR_TOO_BIG, "OpenPDU too big")
                          : fail(SMUX_ERR_INVALID, "identity cannot be encoded");
    if (send_pdu(w) != 0)
        return -1;
    assoc.open_sent = true;
    return 0;
}

int smux_register(const snmp_oid* subtree, int priority, int operation)
{
    if (!association_open())
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    uint8_t buf[SMUX_MAX_PDU];
    ber::writer w(buf, sizeof buf);
    if (!smux_encode_register(w, subtree, priority, operation))
        return w.overflow ? fail(SMUX_ERR_TOO_BIG, "RReqPDU too big")
                          : fail(SMUX_ERR_INVALID, "subtree cannot be encoded");
    return send_pdu(w);
}

bool smux_pending(void) { return stream_pending(assoc.conn, smux_pdu_frame); }

int smux_wait(smux_event* event, int secs)
{
    if (event == nullptr)
        return fail(SMUX_ERR_INVALID, "smux_wait: no event record");
    drop_request();
    if (assoc.conn.fd < 0)
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    const int64_t deadline = stream_now_ms() + (secs > 0 ? secs : 0) * 1000LL;
    for (;;) {
        int got = take_pdu(event);
        if (got == 2)
            return deliver_lost(event);
        if (got > 0 && event->op == SMUX_OP_CLOSE) {
            // The master has closed (RFC 1227 section 3.1.2): it expects no
            // answer, so the socket goes without a ClosePDU of ours.
            drop_connection();
        }
        if (got != 0)
            return got > 0 ? 0 : -1;
        if (secs == 0)
            return fail(SMUX_ERR_IN_PROGRESS, "no whole PDU yet");
        int64_t left = secs < 0 ? -1 : deadline - stream_now_ms();
        if (secs > 0 && left <= 0)
            return fail(SMUX_ERR_IN_PROGRESS, "no whole PDU yet");
        struct pollfd p{assoc.conn.fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return fail(SMUX_ERR_SYSTEM, "poll: %s", strerror(errno));
        if (ready <= 0)
            return fail(SMUX_ERR_IN_PROGRESS, "no whole PDU yet");
    }
}

int smux_response(smux_request* request)
{
    if (request == nullptr)
        return fail(SMUX_ERR_INVALID, "smux_response: no request");
    if (!association_open())
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    uint8_t buf[SMUX_MAX_PDU];
    // A response the master cannot take is replaced by the tooBig answer
    // RFC 1157 section 4.1.2 prescribes, rather than wedging the master.
    for (response_form form : {response_form::as_is, response_form::too_big, response_form::too_big_empty}) {
        ber::writer w(buf, sizeof buf);
        if (smux_encode_response(w, request, form))
            return send_pdu(w);
        if (!w.overflow)
            return fail(SMUX_ERR_INVALID, "response cannot be encoded");
    }
    return fail(SMUX_ERR_TOO_BIG, "response too big");
}

int smux_trap(int generic, int specific, const snmp_varbind* varbinds)
{
    if (!association_open())
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    for (const snmp_varbind* v = varbinds; v != nullptr; v = v->next)
        if (v->value.syntax == SNMP_OCTET_STRING && v->value.octets != nullptr &&
            v->value.octets->len > SMUX_MAX_OCTETS)
            return fail(SMUX_ERR_TOO_BIG, "OCTET STRING of %u bytes in trap", v->value.octets->len);
    uint32_t enterprise_ids[SMUX_ENTERPRISE_LENGTH];
    std::copy(std::begin(SMUX_ENTERPRISE_IDS), std::end(SMUX_ENTERPRISE_IDS), enterprise_ids);
    const snmp_oid enterprise{static_cast<uint16_t>(SMUX_ENTERPRISE_LENGTH), enterprise_ids};
    static const uint8_t loopback[4] = {127, 0, 0, 1};
    uint8_t buf[SMUX_MAX_PDU];
    ber::writer w(buf, sizeof buf);
    bool ok = smux_encode_trap(w, &enterprise, loopback, generic, specific, ticks_since_start(), varbinds);
    if (!ok)
        return w.overflow ? fail(SMUX_ERR_TOO_BIG, "trap over %zu bytes", SMUX_MAX_PDU)
                          : fail(SMUX_ERR_INVALID, "trap cannot be encoded");
    return send_pdu(w);
}

int smux_close(int reason)
{
    if (association_open()) {
        uint8_t buf[8];
        ber::writer w(buf, sizeof buf);
        if (smux_encode_close(w, reason))
            stream_send_once(assoc.conn, w.data(), w.used);
    }
    drop_connection();
    return 0;
}

int xselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int secs)
{
    int fd = assoc.conn.fd;
    bool ready = fd >= 0 && fd < nfds && readfds != nullptr && FD_ISSET(fd, readfds) && smux_pending();
    timeval tv{secs < 0 ? 0 : secs, 0};
    timeval* timeout = secs < 0 ? nullptr : &tv;
    if (ready)
        tv = timeval{0, 0}, timeout = &tv;
    int n = select(nfds, readfds, writefds, exceptfds, timeout);
    if (!ready)
        return n;
    // A whole PDU is waiting in our buffer although the socket may have
    // nothing more to say: report the descriptor readable regardless.
    if (n < 0) {
        FD_ZERO(readfds);
        if (writefds)
            FD_ZERO(writefds);
        if (exceptfds)
            FD_ZERO(exceptfds);
        n = 0;
    }
    if (!FD_ISSET(fd, readfds)) {
        FD_SET(fd, readfds);
        ++n;
    }
    return n;
}
