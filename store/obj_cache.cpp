// The object cache (see obj_cache.h).
#include "store/obj_cache.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <vector>

#include "store/reg_watch.h"
#include "store/row_name.h"

namespace {

// What an entry costs beyond its name and code: its hash node, its file
// watch's node, the string headers and the allocator's rounding.
constexpr std::size_t ENTRY_OVERHEAD = 128;
// Longest reference image kept per directory (at most REG_WATCH_DIRS_MAX of
// them).
constexpr std::size_t REF_MAX = 1024;

struct cache_entry {
    int dir;
    int wd;  // the file's own watch
    std::uint32_t length;
    std::string code;
};

struct name_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

std::unordered_map<std::string, cache_entry, name_hash, std::equal_to<>> entries;
// Per watched directory: the image the directory's entries are encoded
// against.
std::vector<std::vector<unsigned char>> refs;
// The kept file behind each file watch (the key lives in `entries`).
std::unordered_map<int, const std::string*> by_wd;
std::size_t used_bytes = 0;
obj_cache_stats counters{};

// The buffer a hit is decoded into; it only grows.
unsigned char* hit_buffer = nullptr;
std::size_t hit_size = 0;

// The miss that obj_cache_put may fill, with its file's watch.
char armed_name[OBJ_FILE_NAME_MAX + 1];
int armed_dir = -1;
int armed_wd = -1;

void disarm()
{
    // A watch that no entry took is not needed (unless an entry shares it).
    if (armed_wd >= 0 && by_wd.find(armed_wd) == by_wd.end())
        reg_watch_unwatch_file(armed_wd);
    armed_dir = -1;
    armed_wd = -1;
}

std::size_t cost(const std::string& name, const cache_entry& entry)
{
    return name.size() + entry.code.size() + ENTRY_OVERHEAD;
}

void disarm();

void erase(decltype(entries)::iterator it)
{
    used_bytes -= cost(it->first, it->second);
    if (auto w = by_wd.find(it->second.wd); w != by_wd.end() && w->second == &it->first) {
        reg_watch_unwatch_file(it->second.wd);
        by_wd.erase(w);
    }
    entries.erase(it);
}

bool full_path(const char* name, char* out, std::size_t size)
{
    int n = std::snprintf(out, size, "%s/%s", reg_watch_root(), name);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

// A name made of plain components below the registry directory: never
// absolute, never through "." or "..", so that the watches on its
// directories see every change to what it names.
bool plain_name(const char* name, std::size_t length)
{
    if (length == 0 || length > OBJ_FILE_NAME_MAX || name[0] == '/')
        return false;
    std::string_view rest(name, length);
    for (;;) {
        std::size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        rest.remove_prefix(slash + 1);
    }
}

void put_varint(std::string& out, std::size_t value)
{
    while (value >= 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

bool get_varint(const std::string& code, std::size_t& at, std::size_t& value)
{
    value = 0;
    for (int shift = 0; at < code.size() && shift < 35; shift += 7) {
        auto byte = static_cast<unsigned char>(code[at++]);
        value |= static_cast<std::size_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0)
            return true;
    }
    return false;
}

bool reserve_hit(std::size_t length)
{
    if (length <= hit_size)
        return true;
    void* bigger = std::malloc(length);
    if (bigger == nullptr)
        return false;
    std::free(hit_buffer);
    hit_buffer = static_cast<unsigned char*>(bigger);
    hit_size = length;
    return true;
}

// ---- What the change watch tells the cache ----

// The kept file behind file watch `wd` changed. `gone`: the kernel has
// dropped the watch itself.
void file_changed(int wd, bool gone)
{
    auto w = by_wd.find(wd);
    if (w == by_wd.end())
        return;
    const std::string* name = w->second;
    if (gone)
        by_wd.erase(w);  // no watch left to remove
    if (auto it = entries.find(*name); it != entries.end())
        erase(it);
}

void forget(std::string_view name)
{
    if (auto it = entries.find(name); it != entries.end())
        erase(it);
}

void forget_dir(int dir_id)
{
    for (auto it = entries.begin(); it != entries.end();) {
        auto next = std::next(it);
        if (it->second.dir == dir_id)
            erase(it);
        it = next;
    }
    if (dir_id >= 0 && static_cast<std::size_t>(dir_id) < refs.size())
        std::vector<unsigned char>().swap(refs[static_cast<std::size_t>(dir_id)]);
    if (armed_dir == dir_id)
        disarm();
}

void clear()
{
    for (const auto& [wd, name] : by_wd)
        reg_watch_unwatch_file(wd);
    by_wd.clear();
    entries.clear();
    refs.clear();
    used_bytes = 0;
    disarm();
}

const reg_watch_listener listener{forget, forget_dir, file_changed, clear};

// Hands the watch this cache's listener, once, before anything is kept.
void listen()
{
    static const bool listening = (reg_watch_listen(&listener), true);
    (void)listening;
}

}  // namespace

void obj_delta_encode(const unsigned char* image, std::size_t length, const unsigned char* ref,
                      std::size_t ref_length, std::string& out)
{
    out.clear();
    auto diff = [&](std::size_t i) {
        return static_cast<unsigned char>(image[i] ^ (i < ref_length ? ref[i] : 0));
    };
    std::size_t i = 0;
    while (i < length) {
        std::size_t zeros = 0;
        while (i + zeros < length && diff(i + zeros) == 0)
            ++zeros;
        std::size_t start = i + zeros;
        // A literal runs until at least four equal bytes follow: shorter runs
        // cost more as a new pair of lengths than as literal bytes.
        std::size_t end = start;
        while (end < length) {
            std::size_t run = 0;
            while (end + run < length && run < 4 && diff(end + run) == 0)
                ++run;
            if (run == 4 || end + run == length)
                break;
            end += run + 1;
        }
        put_varint(out, zeros);
        put_varint(out, end - start);
        for (std::size_t k = start; k < end; ++k)
            out.push_back(static_cast<char>(diff(k)));
        i = end;
    }
}

bool obj_delta_decode(const std::string& code, const unsigned char* ref, std::size_t ref_length,
                      unsigned char* out, std::size_t length)
{
    std::size_t common = ref_length < length ? ref_length : length;
    if (common > 0)
        std::memcpy(out, ref, common);
    if (length > common)
        std::memset(out + common, 0, length - common);
    std::size_t at = 0, pos = 0;
    while (at < code.size()) {
        std::size_t zeros, literal;
        if (!get_varint(code, at, zeros) || !get_varint(code, at, literal))
            return false;
        pos += zeros;
        if (pos > length || literal > length - pos || literal > code.size() - at)
            return false;
        for (std::size_t k = 0; k < literal; ++k)
            out[pos + k] ^= static_cast<unsigned char>(code[at + k]);
        pos += literal;
        at += literal;
    }
    return true;
}

reg_object* obj_cache_get(const char* name)
{
    listen();
    disarm();
    if (name == nullptr || reg_watch_root()[0] == '\0')
        return nullptr;
    std::size_t length = strnlen(name, OBJ_FILE_NAME_MAX + 1);
    if (!plain_name(name, length))
        return nullptr;
    reg_watch_sync_if_needed();
    std::string_view key(name, length);
    if (auto it = entries.find(key); it != entries.end()) {
        const cache_entry& entry = it->second;
        const std::vector<unsigned char>& ref = refs[static_cast<std::size_t>(entry.dir)];
        if (reserve_hit(entry.length) &&
            obj_delta_decode(entry.code, ref.data(), ref.size(), hit_buffer, entry.length)) {
            ++counters.hits;
            return reinterpret_cast<reg_object*>(hit_buffer);
        }
        erase(it);
    }
    ++counters.misses;
    std::size_t slash = key.rfind('/');
    int dir = reg_watch_dir(slash == std::string_view::npos ? std::string_view() : key.substr(0, slash));
    char full[PATH_MAX];
    if (dir < 0 || !full_path(name, full, sizeof full))
        return nullptr;
    // The file's own watch, before the read that may fill the entry.
    int wd = reg_watch_file(full);
    if (wd < 0)
        return nullptr;
    std::memcpy(armed_name, name, length);
    armed_name[length] = '\0';
    armed_dir = dir;
    armed_wd = wd;
    return nullptr;
}

void obj_cache_put(const char* name, const reg_object* obj)
{
    int dir = armed_dir;
    int wd = armed_wd;
    bool armed = dir >= 0 && name != nullptr && std::strcmp(name, armed_name) == 0;
    if (!armed || obj == nullptr || !reg_watch_live(dir) || obj->length > OBJ_CACHE_BUDGET / 8 ||
        by_wd.find(wd) != by_wd.end()) {
        // Nothing to keep (or the file is kept under another name already:
        // one watch cannot tell two entries apart).
        disarm();
        return;
    }
    // Only a plain file: what a symbolic link leads to is not watched.
    char full[PATH_MAX];
    struct stat st;
    if (!full_path(name, full, sizeof full) || fstatat(AT_FDCWD, full, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
        disarm();
        return;
    }
    armed_dir = -1;
    armed_wd = -1;

    if (refs.size() <= static_cast<std::size_t>(dir))
        refs.resize(static_cast<std::size_t>(dir) + 1);
    auto* image = reinterpret_cast<const unsigned char*>(obj);
    std::vector<unsigned char>& ref = refs[static_cast<std::size_t>(dir)];
    // The reference is cut to REF_MAX bytes so that references stay small
    // whatever the objects: what rows of a table share is their header and
    // item records at the front.
    if (ref.empty())
        ref.assign(image, image + std::min<std::size_t>(obj->length, REF_MAX));

    if (auto old = entries.find(std::string_view(name)); old != entries.end())
        erase(old);
    cache_entry entry{dir, wd, obj->length, {}};
    obj_delta_encode(image, obj->length, ref.data(), ref.size(), entry.code);
    entry.code.shrink_to_fit();
    auto [it, added] = entries.emplace(name, std::move(entry));
    by_wd[wd] = &it->first;
    used_bytes += cost(it->first, it->second);
    while (used_bytes > OBJ_CACHE_BUDGET && !entries.empty())
        erase(entries.begin());
}

obj_cache_stats obj_cache_counters()
{
    obj_cache_stats s = counters;
    s.entries = entries.size();
    s.bytes = used_bytes;
    return s;
}
