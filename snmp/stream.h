// The connection both master-agent protocols ride on: a non-blocking
// connect to a TCP address or a unix socket, sends that go out whole within
// one deadline, and an input buffer that hands over one whole PDU at a time
// however the bytes were split or merged on the way. What a PDU is, the
// protocol says through its framer; nothing here knows SMUX or AgentX.
//
// Results: STREAM_OK, or one of the codes below with a detail text in
// conn.info. STREAM_LOST means the peer refused the connection, went away or
// stopped reading: the connection is closed and a new one may be tried
// later. Every other failure leaves the connection as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "snmp/ber.h"

inline constexpr int STREAM_OK = 0;
inline constexpr int STREAM_AGAIN = 1;   // nothing yet: still connecting, or no whole PDU
inline constexpr int STREAM_LOST = 2;    // the peer is gone, refused us or stopped reading
inline constexpr int STREAM_BAD = 3;     // the input cannot be framed: the stream is poisoned
inline constexpr int STREAM_ERROR = 4;   // a system call failed for another reason
inline constexpr int STREAM_INVALID = 5; // a bad argument (an address that is none)

// Where the master listens: a unix socket path, or a TCP host (numeric
// IPv4) and port.
struct stream_address {
    bool tcp = false;
    std::string path;  // unix socket
    std::string host;  // tcp
    int port = 0;      // tcp
};

// Reads "tcp:HOST:PORT", "unix:PATH" or a plain PATH (which must start with
// '/'). False for anything else, and for a port outside 1..65535 or a path
// longer than a socket address holds.
bool stream_parse_address(const std::string& text, stream_address* out);
// The address as stream_parse_address reads it back.
std::string stream_address_text(const stream_address& address);

// Whether the front of buf holds a whole PDU (total set), needs more bytes,
// or can never be one.
using stream_framer = ber::frame_status (*)(const uint8_t* buf, size_t len, size_t* total);

struct stream_conn {
    int fd = -1;
    bool connected = false;  // the connect completed
    bool poisoned = false;   // input that cannot be framed came in
    // How long one send may wait for room (ms).
    int send_wait_ms = 10000;
    std::vector<uint8_t> in;  // capacity: the largest PDU taken plus slack
    size_t in_len = 0;
    char info[256] = "";
};

// Starts a non-blocking connection (TCP with TCP_NODELAY: a PDU leaves
// without waiting for an acknowledgement). Any previous connection is
// closed first. STREAM_OK with conn.fd set (the connect may still be in
// progress), STREAM_LOST when the peer refused at once, STREAM_ERROR or
// STREAM_INVALID otherwise. `max_input` bounds the largest PDU taken.
int stream_open(stream_conn& conn, const stream_address& address, size_t max_input);

// Whether the connect has completed: STREAM_OK (and from then on at once),
// STREAM_AGAIN while it goes on, STREAM_LOST when it failed.
int stream_check_connected(stream_conn& conn);

// Sends len bytes whole. The send is tried at once and waits for room only
// when the socket would block; the whole send has one deadline
// (conn.send_wait_ms on the monotonic clock, not renewed by interruptions),
// and a part the kernel left over follows within it. At the deadline the
// peer is taken for not reading: STREAM_LOST, connection closed.
int stream_send(stream_conn& conn, const uint8_t* bytes, size_t len);

// Reads what the socket holds (never blocking) until a whole PDU is at the
// front of the buffer: STREAM_OK with *len its size (the bytes at
// conn.in.data(), valid until stream_consume), STREAM_AGAIN when none is
// whole yet, STREAM_LOST at the end of the stream or a reset (connection
// closed), STREAM_BAD for input the framer refuses (also every call after
// that), STREAM_ERROR for a failed read.
int stream_take(stream_conn& conn, stream_framer framer, size_t* len);

// Drops the first len bytes of the buffer (the PDU just handled).
void stream_consume(stream_conn& conn, size_t len);

// True while a whole PDU (or input that cannot be framed) waits in the
// buffer, so that the caller handles it without waiting for the socket.
bool stream_pending(const stream_conn& conn, stream_framer framer);

// Closes the socket and drops buffered input; harmless when closed.
void stream_close(stream_conn& conn);

// Sends bytes once without waiting (a last word before closing: nobody
// may be reading).
void stream_send_once(stream_conn& conn, const uint8_t* bytes, size_t len);

// Waits up to `ms` for the connection to complete (STREAM_OK, STREAM_LOST,
// or STREAM_AGAIN when it is still being made), or for a whole PDU
// (stream_take's results): the blocking forms that --check's probes use.
int stream_wait_connected(stream_conn& conn, int ms);
int stream_wait_take(stream_conn& conn, stream_framer framer, size_t* len, int ms);

// The monotonic clock in milliseconds: what the sessions' deadlines for
// the master's answers are counted on.
int64_t stream_now_ms();
