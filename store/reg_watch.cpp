// Change watch over the data registry (see reg_watch.h for why it is sound).
#include "store/reg_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "lib/log.h"

namespace {

// Everything that can change what a name in a watched directory reads as,
// or which names it holds. IN_ONLYDIR with IN_DONT_FOLLOW: a name that is
// not a directory (any more), a symbolic link to one included, is not
// watched.
constexpr std::uint32_t DIR_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                     IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// A kept file's own watch: a write, truncation or link count change through
// any of its names (a directory watch hears only of writes through a name
// in that directory). IN_DONT_FOLLOW: a symbolic link is never kept.
// IN_MASK_ADD: a name that turns out to be a watched directory must keep
// that directory's events (a plain add would replace them before the watch
// is refused below); the bits added are among the directory's own.
constexpr std::uint32_t FILE_EVENTS =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_MASK_ADD;
// Events that add, remove or re-point a name.
constexpr std::uint32_t NAME_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// The directories above the root matter only when the root's path comes to
// name another directory: one of them is moved or removed, or the name of
// the next one on the way (a directory or a symbolic link) is replaced.
constexpr std::uint32_t ABOVE_EVENTS =
    NAME_EVENTS | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

struct watched_dir {
    std::string path;  // relative to the root; "" is the root
    int wd = -1;       // -1: not watched now
    std::uint64_t generation = 1;
};

int notify_fd = -1;
std::string root;
std::vector<watched_dir> dirs;
struct above_watch {
    int wd;
    std::string next;  // the component below it on the way to the root
};
std::vector<above_watch> above;
bool in_request = false;
// The kept files' own watches (a set: a file watched through two names has
// one watch).
std::unordered_set<int> file_wds;
int max_watches = 0;
bool limit_told = false;
// The caches, as they handed themselves over.
std::vector<const reg_watch_listener*> listeners;
// Generations come from one counter that never goes back, so that no
// generation a cache remembers can come round again for another state.
std::uint64_t last_generation = 1;

std::uint64_t new_generation()
{
    return ++last_generation;
}

// Tells every listener that has `member` what changed.
template <typename member, typename... args>
void tell(member reg_watch_listener::*which, args... values)
{
    for (const reg_watch_listener* listener : listeners)
        if (listener->*which != nullptr)
            (listener->*which)(values...);
}

int watches_held()
{
    int held = static_cast<int>(above.size() + file_wds.size());
    for (const watched_dir& dir : dirs)
        held += dir.wd >= 0 ? 1 : 0;
    return held;
}

// Says once per root that something is read at every request, and why.
void note_limited(const char* why, const std::string& what)
{
    if (limit_told)
        return;
    limit_told = true;
    log_line_at(LOG_PRI_INFO, stderr,
                "%s: Object cache limited: %s%s%s; what cannot be watched is read at every request  (SMUX3053)\n",
                dsmux::PROGRAM_NAME, why, what.empty() ? "" : ": ", what.c_str());
}

// A watch is added only below the bound; beyond it, the caller caches
// nothing of what it would watch.
bool room_for_a_watch()
{
    if (watches_held() < max_watches)
        return true;
    note_limited(("the " + std::to_string(max_watches) + " watches it may hold are in use").c_str(), "");
    return false;
}

// Notes why inotify_add_watch refused `path` (errno), when it says anything
// about the cache as a whole.
void note_refused(const std::string& path)
{
    if (errno == ENOTDIR || errno == ELOOP)
        note_limited("a symbolic link or no directory on the way", path);
    else if (errno == ENOSPC || errno == ENOMEM)
        note_limited("the kernel refuses more watches", path);
}

// The bound for a user limit read from `limits_file`: a quarter of it.
int bound_from(const char* limits_file)
{
    long limit = 8192;  // the kernel's smallest default
    if (FILE* f = std::fopen(limits_file, "re")) {
        if (std::fscanf(f, "%ld", &limit) != 1)
            limit = 8192;
        std::fclose(f);
    }
    long bound = limit / 4;
    return static_cast<int>(bound < 0 ? 0 : bound > REG_WATCH_MAX ? REG_WATCH_MAX : bound);
}

// A relative path of plain components (no empty, "." or ".." one): each
// of its directories is then one watch, and a change of any is seen.
bool plain_path(std::string_view path)
{
    if (path.empty())
        return true;
    for (;;) {
        std::size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        path.remove_prefix(slash + 1);
    }
}

int find_dir(std::string_view path)
{
    for (std::size_t i = 0; i < dirs.size(); ++i)
        if (dirs[i].path == path)
            return static_cast<int>(i);
    return -1;
}

int dir_of_wd(int wd)
{
    for (std::size_t i = 0; i < dirs.size(); ++i)
        if (dirs[i].wd == wd)
            return static_cast<int>(i);
    return -1;
}

// Stops watching directory `id` and forgets everything read from it.
void drop_dir(int id)
{
    watched_dir& dir = dirs[static_cast<std::size_t>(id)];
    if (dir.wd >= 0)
        (void)inotify_rm_watch(notify_fd, dir.wd);
    dir.wd = -1;
    dir.generation = new_generation();
    tell(&reg_watch_listener::dir_dropped, id);
}

// Stops watching everything: used when an event may have been lost.
void drop_all()
{
    for (std::size_t i = 0; i < dirs.size(); ++i)
        drop_dir(static_cast<int>(i));
    for (const above_watch& a : above)
        (void)inotify_rm_watch(notify_fd, a.wd);
    above.clear();
    tell(&reg_watch_listener::cleared);  // the object cache unwatches every kept file
    file_wds.clear();
}

// `path` (relative to the root) names `dir` or a directory below it.
bool within(std::string_view path, std::string_view dir)
{
    if (path.size() < dir.size() || path.compare(0, dir.size(), dir) != 0)
        return false;
    return path.size() == dir.size() || path[dir.size()] == '/';
}

// A name inside watched directory `id` changed: forget the file of that
// name and, when it is (or was) a directory we watch, that directory and
// every one below it.
void name_changed(int id, const char* name, std::uint32_t mask)
{
    std::string path = dirs[static_cast<std::size_t>(id)].path;
    if (!path.empty())
        path += '/';
    path += name;
    tell(&reg_watch_listener::name_changed, std::string_view(path));
    if (mask & NAME_EVENTS)
        dirs[static_cast<std::size_t>(id)].generation = new_generation();
    for (std::size_t i = 0; i < dirs.size(); ++i)
        if (dirs[i].wd >= 0 && within(dirs[i].path, path))
            drop_dir(static_cast<int>(i));
}

void handle_event(const inotify_event* event)
{
    if (event->mask & IN_Q_OVERFLOW) {
        drop_all();
        return;
    }
    for (const above_watch& a : above) {
        if (a.wd != event->wd)
            continue;
        // Other names in the directories above come and go freely.
        if (event->len == 0 || a.next == event->name)
            drop_all();
        return;
    }
    int id = dir_of_wd(event->wd);
    if (id < 0) {
        // A kept file's own watch, or one already dropped (whatever it
        // watched was forgotten then).
        if (event->mask & IN_IGNORED)
            file_wds.erase(event->wd);
        tell(&reg_watch_listener::file_changed, event->wd, (event->mask & IN_IGNORED) != 0);
        return;
    }
    if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
        // The directory is gone or elsewhere: what its path names now is
        // another directory, if any. The root takes everything with it.
        if (dirs[static_cast<std::size_t>(id)].path.empty())
            drop_all();
        else
            drop_dir(id);
        return;
    }
    if (event->len > 0)
        name_changed(id, event->name, event->mask);
}

// Watches the directories above the root ("/" included), so that any
// change that re-points the root's path drops everything.
bool watch_above()
{
    if (!above.empty() || root == "/")
        return true;
    std::size_t slash = 0;
    do {
        std::size_t next = root.find('/', slash + 1);
        std::string dir = slash == 0 ? std::string("/") : root.substr(0, slash);
        std::string component = root.substr(slash + 1, next == std::string::npos ? std::string::npos : next - slash - 1);
        int wd = room_for_a_watch() ? inotify_add_watch(notify_fd, dir.c_str(), ABOVE_EVENTS) : -1;
        if (wd < 0) {
            note_refused(dir);
            drop_all();
            return false;
        }
        above.push_back(above_watch{wd, component});
        slash = next;
    } while (slash != std::string::npos);
    return true;
}

// Watches one directory (relative path `path`, every directory above it
// already watched). Returns its id or -1.
int watch_one(std::string_view path)
{
    int id = find_dir(path);
    if (id >= 0 && dirs[static_cast<std::size_t>(id)].wd >= 0)
        return id;
    if (id < 0) {
        if (dirs.size() >= static_cast<std::size_t>(REG_WATCH_DIRS_MAX))
            return -1;
        dirs.push_back(watched_dir{std::string(path), -1, new_generation()});
        id = static_cast<int>(dirs.size() - 1);
    }
    std::string full = root;
    if (!path.empty()) {
        full += '/';
        full += path;
    }
    if (!room_for_a_watch())
        return -1;
    int wd = inotify_add_watch(notify_fd, full.c_str(), DIR_EVENTS);
    if (wd < 0) {
        note_refused(full);
        return -1;
    }
    // Two paths reaching one directory (a symbolic link) would share one
    // watch, and its events could name only one of them.
    if (int other = dir_of_wd(wd); other >= 0 && other != id)
        return -1;
    for (const above_watch& a : above)
        if (a.wd == wd)
            return -1;
    watched_dir& dir = dirs[static_cast<std::size_t>(id)];
    dir.wd = wd;
    dir.generation = new_generation();
    return id;
}

}  // namespace

void reg_watch_listen(const reg_watch_listener* listener)
{
    for (const reg_watch_listener* known : listeners)
        if (known == listener)
            return;
    listeners.push_back(listener);
}

void reg_watch_set_root(const char* dir, const char* limits_file)
{
    if (notify_fd >= 0) {
        close(notify_fd);
        notify_fd = -1;
    }
    dirs.clear();
    above.clear();
    tell(&reg_watch_listener::cleared);
    file_wds.clear();
    root.clear();
    limit_told = false;
    if (dir == nullptr || dir[0] != '/' || std::strlen(dir) >= PATH_MAX)
        return;
    max_watches = bound_from(limits_file);
    notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_fd < 0) {
        note_limited("no inotify descriptor", std::strerror(errno));
        return;
    }
    root = dir;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
}

const char* reg_watch_root()
{
    return root.c_str();
}

int reg_watch_dir(std::string_view dir)
{
    if (notify_fd < 0 || root.empty() || !plain_path(dir))
        return -1;
    if (!watch_above())
        return -1;
    // The root and every directory on the way down: a rename of any of them
    // re-points `dir`.
    int id = watch_one("");
    std::size_t slash = 0;
    while (id >= 0 && !dir.empty()) {
        slash = dir.find('/', slash == 0 ? 0 : slash + 1);
        if (slash == std::string_view::npos) {
            id = watch_one(dir);
            break;
        }
        id = watch_one(dir.substr(0, slash));
    }
    return id;
}

int reg_watch_file(const char* path)
{
    if (notify_fd < 0 || !room_for_a_watch())
        return -1;
    int wd = inotify_add_watch(notify_fd, path, FILE_EVENTS);
    if (wd < 0) {
        if (errno == ENOSPC || errno == ENOMEM)
            note_limited("the kernel refuses more watches", path);
        return -1;
    }
    // The same inode as a watched directory (it cannot be, being no
    // directory, but a watch shared with one must never be dropped).
    if (dir_of_wd(wd) >= 0)
        return -1;
    for (const above_watch& a : above)
        if (a.wd == wd)
            return -1;
    file_wds.insert(wd);
    return wd;
}

void reg_watch_unwatch_file(int wd)
{
    if (notify_fd >= 0 && wd >= 0)
        (void)inotify_rm_watch(notify_fd, wd);
    file_wds.erase(wd);
}

int reg_watch_max()
{
    return max_watches;
}

void reg_watch_set_max(int watches)
{
    max_watches = watches;
}

std::uint64_t reg_watch_names_generation(int id)
{
    if (id < 0 || static_cast<std::size_t>(id) >= dirs.size())
        return 0;
    return dirs[static_cast<std::size_t>(id)].generation;
}

bool reg_watch_live(int id)
{
    return id >= 0 && static_cast<std::size_t>(id) < dirs.size() && dirs[static_cast<std::size_t>(id)].wd >= 0;
}

void reg_watch_sync()
{
    if (notify_fd < 0)
        return;
    alignas(inotify_event) static char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(notify_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // EAGAIN: nothing (more) changed. Any other failure leaves us
            // unable to know what changed: keep nothing.
            if (got == 0 || errno != EAGAIN)
                drop_all();
            return;
        }
        for (char* p = buffer; p < buffer + got;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            handle_event(event);
            p += sizeof(inotify_event) + event->len;
        }
    }
}

void reg_watch_begin_request()
{
    reg_watch_sync();
    in_request = true;
}

void reg_watch_end_request()
{
    in_request = false;
}

void reg_watch_sync_if_needed()
{
    if (!in_request)
        reg_watch_sync();
}
