// Every fixed host path and name the daemon relies on, in one place.
// Routines that read one of these take the path as a parameter with the
// constant as its default, so that tests can point them at a scratch folder.
#pragma once

namespace dsmux {

// The daemon's own name: the SMUX peer name, the first field of most
// messages, and the base of its MIB definitions file "<name>.defs".
inline constexpr const char* PROGRAM_NAME = "dorsrvsmuxd";
inline constexpr const char* PEER_DESCRIPTION = "Server SMUX daemon";

inline constexpr const char* PEERS_FILE = "/etc/netmgt/snmpd.peers";
inline constexpr const char* COMMUNITY_FILE = "/etc/netmgt/snmpd.comm";
// The install directory: the mailbox queue key is derived from it.
inline constexpr const char* INSTALL_DIR = "/opt/varden/server";
// The programs the install brings (the sample agent, getone): the daemon
// puts this directory in front of PATH, so that the agents of `config` and
// the commands it runs are found however it was started.
inline constexpr const char* BIN_DIR = "/opt/varden/server/bin";
// One daemon per install directory: the running one holds a write lock on
// this file for its whole life (the kernel drops it when the process ends).
// It lies in a directory only the superuser may write, the one the systemd
// unit gives the daemon (RuntimeDirectory=); the daemon makes the directory
// itself (mode 0755) when it is missing. Anywhere others may write, they
// could plant a link there or hold the file themselves.
inline constexpr const char* LOCK_FILE = "/run/dorsrvsmuxd/dorsrvsmuxd.lock";
inline constexpr const char* BOARD_DEVICE = "/dev/rtbd";
// systemd's journal takes log streams here (under the journal, each agent
// writes into streams of its own name).
inline constexpr const char* JOURNAL_STDOUT = "/run/systemd/journal/stdout";
// Trap texts are written to "<prefix><pid>" before a mail command reads them.
inline constexpr const char* MAIL_TMP_PREFIX = "/tmp/mail.";
// Mail commands run as the superuser through this prefix.
inline constexpr const char* SU_PREFIX = "/bin/su root -c";
inline constexpr const char* PKGINFO = "/usr/bin/pkginfo";
// The kernel's limit of inotify watches per user: the object cache keeps
// well under it, since every program of the daemon's user draws on it.
inline constexpr const char* INOTIFY_WATCHES_FILE = "/proc/sys/fs/inotify/max_user_watches";
// The shell that runs helper commands (run_command).
inline constexpr const char* SHELL = "/bin/sh";

}  // namespace dsmux
