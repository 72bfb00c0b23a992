// The master-agent connection: connect, bounded whole sends, PDU assembly.
#include "snmp/stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int note(stream_conn& conn, int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
int note(stream_conn& conn, int code, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(conn.info, sizeof conn.info, format, args);
    va_end(args);
    return code;
}

// The peer is gone or not reading: nothing more can be said on this
// connection, so it goes at once and the caller makes a new one later.
int lose(stream_conn& conn, const char* format, ...) __attribute__((format(printf, 2, 3)));
int lose(stream_conn& conn, const char* format, ...)
{
    stream_close(conn);
    va_list args;
    va_start(args, format);
    std::vsnprintf(conn.info, sizeof conn.info, format, args);
    va_end(args);
    return STREAM_LOST;
}

int system_error(stream_conn& conn, const char* call)
{
    return note(conn, STREAM_ERROR, "%s: %s", call, std::strerror(errno));
}

// Errors that mean the master is not there (or no longer): refused, reset,
// unreachable, and for a unix socket a path nobody listens on.
bool is_unreachable(int error)
{
    return error == ECONNREFUSED || error == ECONNRESET || error == EPIPE || error == ETIMEDOUT ||
           error == EHOSTUNREACH || error == ENETUNREACH || error == ECONNABORTED || error == ENOENT;
}

bool parse_port(const std::string& text, int* port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > 65535)
        return false;
    *port = value;
    return true;
}

bool path_fits(const std::string& path)
{
    return !path.empty() && path[0] == '/' && path.size() < sizeof(sockaddr_un{}.sun_path);
}

}  // namespace

bool stream_parse_address(const std::string& text, stream_address* out)
{
    stream_address address;
    if (text.rfind("tcp:", 0) == 0) {
        std::string rest = text.substr(4);
        size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return false;
        address.tcp = true;
        address.host = rest.substr(0, colon);
        in_addr probe{};
        if (inet_pton(AF_INET, address.host.c_str(), &probe) != 1 || !parse_port(rest.substr(colon + 1), &address.port))
            return false;
    } else {
        address.path = text.rfind("unix:", 0) == 0 ? text.substr(5) : text;
        if (!path_fits(address.path))
            return false;
    }
    *out = address;
    return true;
}

std::string stream_address_text(const stream_address& address)
{
    if (address.tcp)
        return "tcp:" + address.host + ":" + std::to_string(address.port);
    return address.path;
}

int64_t stream_now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void stream_close(stream_conn& conn)
{
    if (conn.fd >= 0)
        close(conn.fd);
    conn.fd = -1;
    conn.connected = false;
    conn.poisoned = false;
    conn.in_len = 0;
}

int stream_open(stream_conn& conn, const stream_address& address, size_t max_input)
{
    stream_close(conn);
    conn.info[0] = '\0';
    // Room for the largest PDU and a little of the next one.
    conn.in.assign(max_input + 16, 0);
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = address.tcp ? AF_INET : AF_UNIX;
    if (address.tcp) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(address.port));
        if (inet_pton(AF_INET, address.host.c_str(), &in->sin_addr) != 1)
            return note(conn, STREAM_INVALID, "bad master address \"%s\"", address.host.c_str());
        length = sizeof *in;
    } else {
        auto* un = reinterpret_cast<sockaddr_un*>(&storage);
        un->sun_family = AF_UNIX;
        if (!path_fits(address.path))
            return note(conn, STREAM_INVALID, "bad socket path \"%s\"", address.path.c_str());
        std::memcpy(un->sun_path, address.path.c_str(), address.path.size() + 1);
        length = static_cast<socklen_t>(sizeof un->sun_family + address.path.size() + 1);
    }
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return system_error(conn, "socket");
    int one = 1;
    if (address.tcp && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return system_error(conn, "setsockopt");
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 && errno != EINPROGRESS &&
        errno != EAGAIN) {
        int saved = errno;
        close(fd);
        if (is_unreachable(saved) || saved == EACCES)
            return note(conn, STREAM_LOST, "connect: %s", std::strerror(saved));
        errno = saved;
        return system_error(conn, "connect");
    }
    conn.fd = fd;
    return STREAM_OK;
}

int stream_check_connected(stream_conn& conn)
{
    if (conn.fd < 0)
        return note(conn, STREAM_LOST, "not connected");
    if (conn.connected)
        return STREAM_OK;
    pollfd p{conn.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 0)
        return note(conn, STREAM_AGAIN, "connection not made yet");
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(conn.fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return lose(conn, "getsockopt: %s", std::strerror(errno));
    if (error != 0)
        return lose(conn, "connect: %s", std::strerror(error));
    conn.connected = true;
    return STREAM_OK;
}

int stream_send(stream_conn& conn, const uint8_t* bytes, size_t len)
{
    if (conn.fd < 0)
        return note(conn, STREAM_LOST, "not connected");
    const int64_t deadline = stream_now_ms() + conn.send_wait_ms;
    size_t sent = 0;
    while (sent < len) {
        ssize_t n = send(conn.fd, bytes + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (is_unreachable(errno))
                return lose(conn, "send: %s", std::strerror(errno));
            return system_error(conn, "send");
        }
        int64_t left = deadline - stream_now_ms();
        if (left <= 0)
            return lose(conn, "send: master agent not reading (%zu of %zu bytes written)", sent, len);
        if (n < 0 && errno == EINTR)
            continue;
        pollfd p{conn.fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return system_error(conn, "poll");
    }
    return STREAM_OK;
}

void stream_send_once(stream_conn& conn, const uint8_t* bytes, size_t len)
{
    if (conn.fd >= 0)
        (void)send(conn.fd, bytes, len, MSG_NOSIGNAL | MSG_DONTWAIT);
}

int stream_take(stream_conn& conn, stream_framer framer, size_t* len)
{
    for (;;) {
        if (conn.poisoned)
            return note(conn, STREAM_BAD, "input after a malformed PDU");
        size_t total = 0;
        ber::frame_status status = conn.in_len > 0 ? framer(conn.in.data(), conn.in_len, &total)
                                                   : ber::frame_status::partial;
        if (status == ber::frame_status::whole) {
            *len = total;
            return STREAM_OK;
        }
        if (status == ber::frame_status::malformed) {
            conn.poisoned = true;
            return note(conn, STREAM_BAD, "malformed PDU header (first byte 0x%02x)", conn.in[0]);
        }
        if (conn.fd < 0)
            return note(conn, STREAM_LOST, "not connected");
        // The framer refuses a PDU larger than the buffer, so a full buffer
        // without a whole PDU cannot happen with a sound framer; refuse it
        // rather than spin.
        if (conn.in_len == conn.in.size()) {
            conn.poisoned = true;
            return note(conn, STREAM_BAD, "input buffer full without a whole PDU");
        }
        ssize_t n = recv(conn.fd, conn.in.data() + conn.in_len, conn.in.size() - conn.in_len, MSG_DONTWAIT);
        if (n > 0) {
            conn.in_len += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return lose(conn, "end of stream");
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)
            return note(conn, STREAM_AGAIN, "no whole PDU yet");
        if (is_unreachable(errno))
            return lose(conn, "recv: %s", std::strerror(errno));
        return system_error(conn, "recv");
    }
}

void stream_consume(stream_conn& conn, size_t len)
{
    if (len >= conn.in_len) {
        conn.in_len = 0;
        return;
    }
    std::memmove(conn.in.data(), conn.in.data() + len, conn.in_len - len);
    conn.in_len -= len;
}

bool stream_pending(const stream_conn& conn, stream_framer framer)
{
    if (conn.fd < 0 || conn.in_len == 0)
        return false;
    if (conn.poisoned)
        return true;
    size_t total = 0;
    return framer(conn.in.data(), conn.in_len, &total) != ber::frame_status::partial;
}

int stream_wait_connected(stream_conn& conn, int ms)
{
    const int64_t deadline = stream_now_ms() + ms;
    for (;;) {
        int result = stream_check_connected(conn);
        int64_t left = deadline - stream_now_ms();
        if (result != STREAM_AGAIN || left <= 0)
            return result;
        pollfd p{conn.fd, POLLOUT, 0};
        (void)poll(&p, 1, static_cast<int>(left));
    }
}

int stream_wait_take(stream_conn& conn, stream_framer framer, size_t* len, int ms)
{
    const int64_t deadline = stream_now_ms() + ms;
    for (;;) {
        int result = stream_take(conn, framer, len);
        int64_t left = deadline - stream_now_ms();
        if (result != STREAM_AGAIN || left <= 0)
            return result;
        pollfd p{conn.fd, POLLIN, 0};
        (void)poll(&p, 1, static_cast<int>(left));
    }
}
