// The SMUX association: one TCP connection to the local master agent, the
// input buffer that assembles PDUs across partial reads, and the send path
// that writes every PDU whole in one call.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <string>

#include "snmp/smux_session.h"

#include "snmp/smux_pdu.h"

namespace {
// Whether the last failure was the loss of the master (see smux_lost).
bool lost = false;
}  // namespace

namespace {

struct association {
    int fd = -1;
    bool open_sent = false;
    // A malformed PDU poisons the stream: nothing after it can be framed.
    bool poisoned = false;
    std::string host = "127.0.0.1";
    int port = 0;
    timespec started{};
    // How long one PDU may wait for room in the socket buffer.
    int send_wait_ms = SMUX_SEND_WAIT_MS;
    uint8_t in[SMUX_MAX_INPUT_PDU + 16];
    size_t in_len = 0;
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

int fail_system(const char* call)
{
    return fail(SMUX_ERR_SYSTEM, "%s: %s", call, strerror(errno));
}

void drop_input()
{
    assoc.in_len = 0;
    assoc.poisoned = false;
    free_request(assoc.last_request);
    assoc.last_request = nullptr;
}

void drop_connection()
{
    if (assoc.fd >= 0)
        close(assoc.fd);
    assoc.fd = -1;
    assoc.open_sent = false;
    drop_input();
}

int master_port()
{
    if (assoc.port > 0)
        return assoc.port;
    struct servent* entry = getservbyname("smux", "tcp");
    return entry ? ntohs(static_cast<uint16_t>(entry->s_port)) : SMUX_DEFAULT_PORT;
}

// Milliseconds left until `deadline` on the monotonic clock, 0 once past.
int remaining_ms(const timespec& deadline)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ms = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
    if (ms <= 0)
        return 0;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

timespec deadline_after_ms(int ms)
{
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += ms / 1000;
    at.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

// The master cannot be reached or has stopped reading: the association is
// over. The socket is closed without a ClosePDU (nobody would read it), and
// the caller hears of it through smux_lost() so that it can connect again
// later.
int lose_association(const char* format, ...) __attribute__((format(printf, 1, 2)));
int lose_association(const char* format, ...)
{
    drop_connection();
    va_list args;
    va_start(args, format);
    record_failure(SMUX_ERR_SYSTEM, true, format, args);
    va_end(args);
    return -1;
}

bool is_unreachable(int error)
{
    return error == ECONNREFUSED || error == ECONNRESET || error == EPIPE || error == ETIMEDOUT ||
           error == EHOSTUNREACH || error == ENETUNREACH || error == ECONNABORTED;
}

// Sends one PDU with one call. net-snmp cannot reassemble a PDU that arrives
// in two pieces with a pause between them, so a PDU is never split by us:
// the send is tried at once, and only when the socket would block does it
// wait for room. The whole PDU has one deadline on the monotonic clock that
// interruptions (the alarm tick comes every second) do not renew; should
// the kernel take only part of it, the rest follows within the same
// deadline. When the deadline passes the master is not reading, and the
// association is dropped.
int send_pdu(const ber::writer& w)
{
    if (assoc.fd < 0)
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    if (w.used > SMUX_MAX_PDU)
        return fail(SMUX_ERR_TOO_BIG, "PDU of %zu bytes", w.used);
    const timespec deadline = deadline_after_ms(assoc.send_wait_ms);
    size_t sent = 0;
    while (sent < w.used) {
        ssize_t n = send(assoc.fd, w.data() + sent, w.used - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (is_unreachable(errno))
                return lose_association("send: %s", strerror(errno));
            return fail_system("send");
        }
        int left = remaining_ms(deadline);
        if (left == 0)
            return lose_association("send: master agent not reading (%zu of %zu bytes written)", sent, w.used);
        if (n < 0 && errno == EINTR)
            continue;
        struct pollfd p{assoc.fd, POLLOUT, 0};
        if (poll(&p, 1, left) < 0 && errno != EINTR)
            return fail_system("poll");
    }
    return 0;
}

// Until the OpenPDU has gone out the master knows nothing of us: anything
// else it receives first makes it drop the connection.
bool association_open() { return assoc.fd >= 0 && assoc.open_sent; }

uint32_t ticks_since_start()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t cs = (now.tv_sec - assoc.started.tv_sec) * 100 + (now.tv_nsec - assoc.started.tv_nsec) / 10000000;
    return static_cast<uint32_t>(cs < 0 ? 0 : cs);
}

bool whole_pdu_buffered()
{
    size_t total;
    return assoc.poisoned || smux_pdu_frame(assoc.in, assoc.in_len, &total) != ber::frame_status::partial;
}

// Takes the first buffered PDU if it is whole: 1 delivered, 0 not yet, -1 bad.
int take_buffered(smux_event* event)
{
    if (assoc.poisoned)
        return fail(SMUX_ERR_PDU_FORMAT, "input after a malformed PDU");
    size_t total = 0;
    ber::frame_status st = smux_pdu_frame(assoc.in, assoc.in_len, &total);
    if (st == ber::frame_status::partial)
        return 0;
    if (st == ber::frame_status::malformed) {
        assoc.poisoned = true;
        return fail(SMUX_ERR_PDU_FORMAT, "malformed PDU header (tag 0x%02x)", assoc.in_len ? assoc.in[0] : 0);
    }
    const char* why = "";
    smux_event ev{};
    int rc = smux_pdu_decode(assoc.in, total, &ev, &why);
    uint8_t tag = assoc.in[0];
    memmove(assoc.in, assoc.in + total, assoc.in_len - total);
    assoc.in_len -= total;
    if (rc != 0) {
        assoc.poisoned = true;
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
    int kept = assoc.send_wait_ms;
    assoc.send_wait_ms = milliseconds > 0 ? milliseconds : SMUX_SEND_WAIT_MS;
    return kept;
}

void smux_set_master(const char* host, int port)
{
    assoc.host = host ? host : "127.0.0.1";
    assoc.port = port > 0 ? port : 0;
}

int smux_fd(void) { return assoc.fd; }

int smux_init(int /*debug*/)
{
    drop_connection();
    smux_errno = SMUX_ERR_NONE;
    smux_info[0] = '\0';
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(master_port()));
    if (inet_pton(AF_INET, assoc.host.c_str(), &addr.sin_addr) != 1)
        return fail(SMUX_ERR_INVALID, "bad master address \"%s\"", assoc.host.c_str());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail_system("socket");
    // Every PDU leaves in one segment without waiting for an acknowledgement.
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return fail_system("setsockopt");
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        int saved = errno;
        close(fd);
        errno = saved;
        if (is_unreachable(saved))
            return lose_association("connect: %s", strerror(saved));
        return fail_system("connect");
    }
    assoc.fd = fd;
    clock_gettime(CLOCK_MONOTONIC, &assoc.started);
    return fd;
}

int smux_simple_open(const snmp_oid* identity, const char* description, const char* password, int password_len)
{
    if (assoc.fd < 0)
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    if (identity == nullptr || password_len < 0 || (password == nullptr && password_len != 0))
        return fail(SMUX_ERR_INVALID, "smux_simple_open: bad argument");
    struct pollfd p{assoc.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 0)
        return fail(SMUX_ERR_IN_PROGRESS, "connection not made yet");
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(assoc.fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return fail_system("getsockopt");
    if (error != 0) {
        if (is_unreachable(error))
            return lose_association("connect: %s", strerror(error));
        errno = error;
        return fail_system("connect");
    }
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

bool smux_pending(void) { return assoc.fd >= 0 && assoc.in_len > 0 && whole_pdu_buffered(); }

int smux_wait(smux_event* event, int secs)
{
    if (event == nullptr)
        return fail(SMUX_ERR_INVALID, "smux_wait: no event record");
    free_request(assoc.last_request);
    assoc.last_request = nullptr;
    if (assoc.fd < 0)
        return fail(SMUX_ERR_NOT_OPEN, "no SMUX association");
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += secs > 0 ? secs : 0;
    for (;;) {
        int got = take_buffered(event);
        if (got > 0 && event->op == SMUX_OP_CLOSE) {
            // The master has closed (RFC 1227 section 3.1.2): it expects no
            // answer, so the socket goes without a ClosePDU of ours.
            drop_connection();
        }
        if (got != 0)
            return got > 0 ? 0 : -1;
        // Read what is there, but no more than the rest of the buffer: a
        // PDU larger than the buffer was already refused by the framing.
        if (assoc.in_len == sizeof assoc.in) {
            assoc.poisoned = true;
            return fail(SMUX_ERR_PDU_FORMAT, "input buffer full without a whole PDU");
        }
        ssize_t n = recv(assoc.fd, assoc.in + assoc.in_len, sizeof assoc.in - assoc.in_len, MSG_DONTWAIT);
        if (n > 0) {
            assoc.in_len += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return deliver_lost(event);
        if (errno == ECONNRESET || errno == EPIPE || errno == ETIMEDOUT || errno == ECONNREFUSED ||
            errno == EHOSTUNREACH || errno == ENETUNREACH)
            return deliver_lost(event);
        if (errno == EINTR)
            return fail(SMUX_ERR_IN_PROGRESS, "interrupted");
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN)
            return fail_system("recv");
        if (secs == 0)
            return fail(SMUX_ERR_IN_PROGRESS, "no whole PDU yet");
        struct pollfd p{assoc.fd, POLLIN, 0};
        int ready = poll(&p, 1, secs < 0 ? -1 : remaining_ms(deadline));
        if (ready < 0 && errno != EINTR)
            return fail_system("poll");
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
    if (assoc.fd >= 0 && assoc.open_sent) {
        uint8_t buf[8];
        ber::writer w(buf, sizeof buf);
        if (smux_encode_close(w, reason))
            (void)send(assoc.fd, w.data(), w.used, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    drop_connection();
    return 0;
}

int xselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int secs)
{
    bool ready = assoc.fd >= 0 && assoc.fd < nfds && readfds != nullptr && FD_ISSET(assoc.fd, readfds) && smux_pending();
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
    if (!FD_ISSET(assoc.fd, readfds)) {
        FD_SET(assoc.fd, readfds);
        ++n;
    }
    return n;
}
