// The master's side of an association, for the session tests of either
// protocol: listens on a loopback TCP port or a unix socket, accepts the
// daemon's connection, takes its PDUs one by one (framed by the protocol's
// framer) and sends it whatever a test needs.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
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
        if (path_.empty()) {
            listener_ = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof addr;
            bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
            port_ = ntohs(addr.sin_port);
        } else {
            listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
            unlink(path_.c_str());
            bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        }
        listen(listener_, 1);
    }
    ~fake_master()
    {
        if (conn_ >= 0)
            close(conn_);
        close(listener_);
        if (!path_.empty())
            unlink(path_.c_str());
    }
    int port() const { return port_; }
    bool accept_peer()
    {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1)
            return false;
        conn_ = accept(listener_, nullptr, nullptr);
        return conn_ >= 0;
    }
    // The next whole PDU from the daemon; empty at the end of the stream or
    // when none comes within two seconds.
    bytes next_pdu()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (;;) {
            std::size_t total = 0;
            if (!in_.empty() && frame_(in_.data(), in_.size(), &total) == ber::frame_status::whole) {
                bytes pdu(in_.begin(), in_.begin() + static_cast<long>(total));
                in_.erase(in_.begin(), in_.begin() + static_cast<long>(total));
                return pdu;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            pollfd p{conn_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) != 1)
                return {};
            std::uint8_t buf[4096];
            ssize_t n = recv(conn_, buf, sizeof buf, 0);
            if (n <= 0)
                return {};
            in_.insert(in_.end(), buf, buf + n);
        }
    }
    void send_bytes(const bytes& pdu)
    {
        ASSERT_EQ(send(conn_, pdu.data(), pdu.size(), MSG_NOSIGNAL), ssize_t(pdu.size()));
    }
    void hang_up()
    {
        close(conn_);
        conn_ = -1;
    }

 private:
    framer frame_;
    std::string path_;
    int listener_ = -1;
    int conn_ = -1;
    int port_ = 0;
    bytes in_;
};
