// Change watch over the data registry: the one source of truth that lets the
// object cache and the row index keep what they read between requests and
// still answer every request as if it had read the files afresh.
//
// An inotify watch is put on every registry directory a cache uses (and on
// the registry directory itself) before anything is read from it. The kernel
// queues a change event inside the very system call that makes the change
// (write, truncate, rename, unlink, creat, mkdir, rmdir), so a change that
// completed before a request arrived is in the queue when the request is
// served. reg_watch_sync drains the queue and tells the caches what changed;
// a lost event (queue overflow) or a failed watch drops everything or keeps
// the directory out of the caches.
//
// The arrow runs one way: the caches call the watch, and the watch knows
// them only as the listeners they hand it (reg_watch_listen) before they
// keep anything.
//
// Nothing is cached through a symbolic link: a watch on a linked directory
// would sit on what the link led to when it was added, and a link swapped
// anywhere on the way (or a link it leads through) would go unseen. Such a
// directory, or a registry whose path passes through one, is read afresh
// at every request.
//
// Watches are a per-user resource of the kernel that every program of the
// daemon's user (root) draws on: the caches hold at most a quarter of the
// user's limit (and at most REG_WATCH_MAX); what they cannot watch is read
// at every request. The first time caching is limited or off for a root,
// one line says so (SMUX3053).
#pragma once
#include <cstdint>
#include <string_view>

#include "lib/paths.h"

// What a cache hears of changes. Any member may be null.
struct reg_watch_listener {
    // A name inside a watched directory may name something else now:
    // `path` is that name relative to the root ("dir/name").
    void (*name_changed)(std::string_view path);
    // Directory `id` is no longer watched: nothing read from it may be kept.
    void (*dir_dropped)(int id);
    // The file watch `wd` (reg_watch_file) saw a change; `gone`: the
    // kernel has dropped the watch itself.
    void (*file_changed)(int wd, bool gone);
    // Keep nothing: a new root was taken, or an event may have been lost.
    void (*cleared)();
};

// Adds `listener` (static storage: it is kept by its address) to those told
// of changes, in the order they came; a listener already added is not added
// again. A cache hands its own once, before it keeps anything.
void reg_watch_listen(const reg_watch_listener* listener);

// Largest number of directories watched at once; beyond it directories are
// simply not cached.
inline constexpr int REG_WATCH_DIRS_MAX = 256;
// Most watches (directories and files) held at once, whatever the limit.
inline constexpr int REG_WATCH_MAX = 16384;

// Takes `root` (the data registry directory, absolute) as the base of every
// name, dropping every watch and telling every listener to keep nothing
// (cleared), and reads the user's watch limit from `limits_file` for the
// bound above. Null, empty or relative: nothing is cached at all.
void reg_watch_set_root(const char* root, const char* limits_file = dsmux::INOTIFY_WATCHES_FILE);

// The most watches held at once for the current root. Test seam:
// reg_watch_set_max replaces the bound.
int reg_watch_max();
void reg_watch_set_max(int watches);

// The registry directory in use ("" when caching is off).
const char* reg_watch_root();

// The id of the watched directory `dir` (relative to the root, "" for the
// root itself), adding the watches it needs (the root and every directory
// on the way) first. -1: it cannot be watched, so nothing from it may be
// kept.
int reg_watch_dir(std::string_view dir);

// Watches the file `path` itself (not following a symbolic link) for
// writes, truncation and link count changes through any of its names; its
// events go to the listeners' file_changed. The watch descriptor, or -1.
int reg_watch_file(const char* path);
void reg_watch_unwatch_file(int wd);

// Bumped whenever a name inside directory `id` may have appeared, gone or
// changed its meaning (and when the directory itself is dropped).
std::uint64_t reg_watch_names_generation(int id);

// Whether directory `id` is watched now.
bool reg_watch_live(int id);

// Drains the change queue (one read, which fails with EAGAIN when nothing
// changed) and tells the listeners whatever it names.
void reg_watch_sync();

// A request is served between these two: the queue is drained once at its
// start. Outside a request every cache lookup drains it first.
void reg_watch_begin_request();
void reg_watch_end_request();
// Drains the queue unless a request has already done so.
void reg_watch_sync_if_needed();
