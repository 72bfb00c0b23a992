// The master's side of an association, for the session tests of either
// protocol: accepts the daemon's connection on a loopback TCP port or a unix
// socket, takes its PDUs one by one and sends it whatever a test needs.
#pragma once
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "snmp/ber.h"

class fake_master {
 public:
    using bytes = std::vector<std::uint8_t>;
    using framer = ber::frame_status (*)(const std::uint8_t*, std::size_t, std::size_t*);

    // A loopback TCP listener on a port of its own (port()), or with
    // `unix_path` a unix socket there (removed again at the end).
    explicit fake_master(framer frame, const std::string& unix_path = "") : frame_(frame), path_(unix_path)
    {
        sockaddr_in in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_un un{AF_UNIX, {}};
        path_.copy(un.sun_path, sizeof un.sun_path - 1);
        bool tcp = path_.empty();
        if (!tcp)
            unlink(un.sun_path);
        listener_ = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM, 0);
        bind(listener_, tcp ? reinterpret_cast<sockaddr*>(&in) : reinterpret_cast<sockaddr*>(&un),
             tcp ? sizeof in : sizeof un);
        socklen_t len = sizeof in;
        if (tcp && getsockname(listener_, reinterpret_cast<sockaddr*>(&in), &len) == 0)
            port_ = ntohs(in.sin_port);
        listen(listener_, 1);
    }
    ~fake_master()
    {
        hang_up();
        close(listener_);
        if (!path_.empty())
            unlink(path_.c_str());
    }
    int port() const { return port_; }
    bool accept_peer()
    {
        pollfd p{listener_, POLLIN, 0};
        return poll(&p, 1, 2000) == 1 && (conn_ = accept(listener_, nullptr, nullptr)) >= 0;
    }
    // The next whole PDU from the daemon; empty at the end of the stream or
    // when none comes within two seconds.
    bytes next_pdu()
    {
        using namespace std::chrono;
        for (auto deadline = steady_clock::now() + seconds(2);;) {
            std::size_t total = 0;
            if (!in_.empty() && frame_(in_.data(), in_.size(), &total) == ber::frame_status::whole) {
                bytes pdu(in_.begin(), in_.begin() + static_cast<long>(total));
                in_.erase(in_.begin(), in_.begin() + static_cast<long>(total));
                return pdu;
            }
            auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{conn_, POLLIN, 0};
            std::uint8_t buf[4096];
            ssize_t n = left > 0 && poll(&p, 1, static_cast<int>(left)) == 1 ? recv(conn_, buf, sizeof buf, 0) : 0;
            if (n <= 0)
                return {};
            in_.insert(in_.end(), buf, buf + n);
        }
    }
    void send_bytes(const bytes& b) { ASSERT_EQ(send(conn_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    // Closes the connection; what it left unread goes with it.
    void hang_up()
    {
        if (conn_ >= 0)
            close(conn_);
        conn_ = -1;
        in_.clear();
    }

 private:
    framer frame_;
    std::string path_;
    int listener_ = -1, conn_ = -1, port_ = 0;
    bytes in_;
};
