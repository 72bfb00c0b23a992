// Object records and object files: reading an agent's object into the shared
// buffer, finding the object and item behind a pairs-table entry, choosing
// the table row of a request, and the object dump.
#include "store/obj.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "lib/coding.h"
#include "lib/log.h"
#include "store/obj_cache.h"
#include "store/reg_watch.h"
#include "store/row_index.h"
#include "store/row_name.h"
#include "store/row_search.h"

namespace {

// The shared object buffer: it lives from the first read to the end of the
// process and only grows, so a read allocates nothing once the largest
// object has been seen.
unsigned char* obj_buffer = nullptr;
std::size_t obj_buffer_size = 0;
int last_attempts = 0;

char registry_dir[PATH_MAX] = "";
// The registry directory, opened once: object files are opened relative to
// it, so no read depends on (or changes) the working directory.
int registry_fd = -1;
dev_t registry_dev = 0;   // the directory registry_fd holds
ino_t registry_ino = 0;

// obj_select_index's answer for IDX_EXACT and its start index for searches.
std::int32_t index_buffer[OBJ_SELECT_MAX];

// Reads up to `size` bytes, going on after partial reads and interruptions.
// Returns the number of bytes read (less than `size` at end of file or on
// an error).
std::size_t read_full(int fd, void* buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, static_cast<unsigned char*>(buffer) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool buffer_reserve(std::size_t length)
{
    if (length <= obj_buffer_size)
        return true;
    // Allocate before releasing, so that a failed allocation keeps the old
    // buffer and its size consistent.
    void* bigger = std::malloc(length);
    if (bigger == nullptr)
        return false;
    std::free(obj_buffer);
    obj_buffer = static_cast<unsigned char*>(bigger);
    obj_buffer_size = length;
    return true;
}

// One attempt on an open regular file of `file_size` bytes. Returns true
// when the shared buffer now holds a whole, consistent object.
bool read_attempt(int fd, off_t file_size)
{
    reg_object header;
    if (read_full(fd, &header, sizeof header) != sizeof header)
        return false;
    std::uint32_t length = header.length;
    // Refusing a length the file cannot hold before allocating keeps a torn
    // or hostile header from growing the buffer for nothing.
    if (length < OBJ_HEADER_SIZE || length > OBJ_LENGTH_MAX || static_cast<off_t>(length) > file_size)
        return false;
    if (!buffer_reserve(length))
        return false;
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    if (read_full(fd, obj_buffer, length) != length)
        return false;
    auto* obj = reinterpret_cast<reg_object*>(obj_buffer);
    // The file may have been rewritten between the two reads: the body must
    // carry the length we sized the read by.
    if (obj->length != length || !obj_valid(obj_buffer, length))
        return false;
    // The on-disk fields are too narrow for addresses; record the offsets,
    // which is what they mean wherever the object is loaded.
    obj->items = OBJ_HEADER_SIZE;
    obj->data = static_cast<std::uint32_t>(OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * obj->item_count);
    return true;
}

bool value_inside(std::int64_t start, std::int64_t extent, std::int64_t length)
{
    return start >= 0 && extent >= 0 && start + extent <= length;
}

bool item_valid(const unsigned char* image, std::size_t item_offset, std::uint32_t length)
{
    reg_item item;
    std::memcpy(&item, image + item_offset, sizeof item);
    if (strnlen(item.name, sizeof item.name) == sizeof item.name)
        return false;
    std::int64_t start = static_cast<std::int64_t>(item_offset) + item.value_offset;
    switch (item.type) {
    case ITEM_UNSIGNED:
    case ITEM_SIGNED:
        return value_inside(start, 4, length);
    case ITEM_STRING:
    case ITEM_OID: {
        if (!value_inside(start, 1, length))
            return false;
        std::int64_t room = length - start;
        std::size_t limit = static_cast<std::size_t>(item.size < room ? item.size : room);
        return std::memchr(image + start, '\0', limit) != nullptr;
    }
    case ITEM_RAW:
        return value_inside(start, item.length, length);
    default:
        // A type we cannot show: its value is never read, but the offset
        // must still point into the object so that obj_value stays inside.
        return value_inside(start, 0, length);
    }
}

// The descriptor object names are resolved against: the registry directory,
// or the working directory while none is set. -1 when the registry
// directory cannot be opened (it is tried again at the next read).
// The descriptor is kept between reads, but a registry directory replaced
// under its name (or a symbolic link to it swapped) must be seen at the next
// read, as a read by path would see it: the name is checked against the
// descriptor's directory each time.
int registry_base()
{
    if (registry_dir[0] == '\0')
        return AT_FDCWD;
    struct stat now;
    bool same = stat(registry_dir, &now) == 0 && registry_fd >= 0 && now.st_dev == registry_dev &&
                now.st_ino == registry_ino;
    if (!same) {
        if (registry_fd >= 0)
            close(registry_fd);
        registry_fd = open(registry_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat opened;
        if (registry_fd >= 0 && fstat(registry_fd, &opened) == 0) {
            registry_dev = opened.st_dev;
            registry_ino = opened.st_ino;
        }
    }
    return registry_fd;
}

// Reads the object file `name` under `base` with `open_flags` added.
reg_object* read_object_at(int base, const char* name, int open_flags)
{
    last_attempts = 0;
    if (base == -1)
        return nullptr;
    for (int attempt = 1; attempt <= OBJ_READ_ATTEMPTS; ++attempt) {
        last_attempts = attempt;
        // Not blocking on open, and only regular files: a dump request may
        // name anything, and a FIFO or a terminal must not stall the daemon
        // (nor become its controlling terminal).
        int fd = openat(base, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | open_flags);
        if (fd < 0)
            return nullptr;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return nullptr;
        }
        bool whole = read_attempt(fd, st.st_size);
        close(fd);
        if (whole)
            return reinterpret_cast<reg_object*>(obj_buffer);
    }
    return nullptr;
}

const char* code_name(unsigned code, const char* const* names, unsigned known, char* spare, std::size_t spare_size)
{
    if (code < known)
        return names[code];
    std::snprintf(spare, spare_size, "%u", code);
    return spare;
}

// Writes the row file name of `entry` for `index` (its sub-path alone for a
// scalar) into `name` of OBJ_FILE_NAME_MAX + 1 bytes; false when the name
// would not fit the limits of an object file name.
bool object_file_name(const reg_entry* entry, const std::int32_t* index, int count, char* name)
{
    std::size_t subpath_length = strnlen(entry->subpath, sizeof entry->subpath);
    if (subpath_length == sizeof entry->subpath)
        return false;
    if (count > 0 && (count > OBJ_SELECT_MAX || index == nullptr))
        return false;
    char suffix[OBJ_SUFFIX_MAX + 1];
    int suffix_length = row_suffix_build(suffix, sizeof suffix, index, count > 0 ? count : 0);
    if (suffix_length < 0 || subpath_length + static_cast<std::size_t>(suffix_length) > OBJ_FILE_NAME_MAX)
        return false;
    std::memcpy(name, entry->subpath, subpath_length);
    std::memcpy(name + subpath_length, suffix, static_cast<std::size_t>(suffix_length) + 1);
    return true;
}

// The instance search, answered from the row index when the table's
// directory is watched (cache hook), else by scanning the directory `table`
// (the sub-path's directory by its full path).
const std::int32_t* next_instance(const char* subpath, const char* table, const std::int32_t* start, int count)
{
    const std::int32_t* found = nullptr;
    if (row_index_next(subpath, start, count, &found))
        return found;
    return obj_next_instance(table, start, count);
}

}  // namespace

bool obj_name_valid(const char* name)
{
    if (name == nullptr || name[0] == '\0' || name[0] == '/')
        return false;
    for (const char* part = name; *part != '\0';) {
        std::size_t length = std::strcspn(part, "/");
        if (length == 2 && part[0] == '.' && part[1] == '.')
            return false;
        part += length;
        if (*part == '/')
            ++part;
    }
    return true;
}

reg_object* obj_read(const char* name)
{
    if (!obj_name_valid(name)) {
        last_attempts = 0;
        return nullptr;
    }
    // A symbolic link as the object file could point anywhere the daemon
    // may read; agents write plain files.
    return read_object_at(registry_base(), name, O_NOFOLLOW);
}

reg_object* obj_read_file(const char* path)
{
    if (path == nullptr) {
        last_attempts = 0;
        return nullptr;
    }
    return read_object_at(AT_FDCWD, path, 0);
}

int obj_read_attempts()
{
    return last_attempts;
}

bool obj_valid(const void* image, std::size_t size)
{
    if (image == nullptr || size < OBJ_HEADER_SIZE)
        return false;
    const auto* bytes = static_cast<const unsigned char*>(image);
    reg_object header;
    std::memcpy(&header, bytes, sizeof header);
    std::uint32_t length = header.length;
    if (length < OBJ_HEADER_SIZE || length > size)
        return false;
    std::uint64_t items_end = OBJ_HEADER_SIZE + std::uint64_t{OBJ_ITEM_SIZE} * header.item_count;
    if (items_end > length)
        return false;
    if (strnlen(header.path, sizeof header.path) == sizeof header.path ||
        strnlen(header.name, sizeof header.name) == sizeof header.name)
        return false;
    if (header.index_count < 0 || header.index_count > static_cast<std::int32_t>(OBJ_INDEX_MAX))
        return false;
    for (std::uint32_t i = 0; i < header.item_count; ++i)
        if (!item_valid(bytes, OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * i, length))
            return false;
    return true;
}

reg_item* obj_items(reg_object* obj)
{
    return reinterpret_cast<reg_item*>(reinterpret_cast<unsigned char*>(obj) + OBJ_HEADER_SIZE);
}

const reg_item* obj_items(const reg_object* obj)
{
    return reinterpret_cast<const reg_item*>(reinterpret_cast<const unsigned char*>(obj) + OBJ_HEADER_SIZE);
}

unsigned char* obj_data(reg_object* obj)
{
    return reinterpret_cast<unsigned char*>(obj) + OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * obj->item_count;
}

reg_item* obj_item(reg_object* obj, int position)
{
    if (obj == nullptr || position < 0 || static_cast<std::uint32_t>(position) >= obj->item_count)
        return nullptr;
    return obj_items(obj) + position;
}

unsigned char* obj_value(reg_item* item)
{
    return reinterpret_cast<unsigned char*>(item) + item->value_offset;
}

const unsigned char* obj_value(const reg_item* item)
{
    return reinterpret_cast<const unsigned char*>(item) + item->value_offset;
}

std::uint32_t obj_value_unsigned(const reg_item* item)
{
    return decode_fixed32(obj_value(item));
}

std::int32_t obj_value_signed(const reg_item* item)
{
    return decode_int32(obj_value(item));
}

int obj_item_index(const char* mib_name, const reg_object* obj)
{
    if (mib_name == nullptr || obj == nullptr)
        return -1;
    const reg_item* items = obj_items(obj);
    for (std::uint32_t i = 0; i < obj->item_count; ++i)
        if (std::strncmp(items[i].name, mib_name, ITEM_NAME_MAX) == 0)
            return static_cast<int>(i);
    return -1;
}

const char* obj_registry_dir() { return registry_dir; }

void obj_set_registry_dir(const char* dir)
{
    if (registry_fd >= 0)
        close(registry_fd);
    registry_fd = -1;
    if (dir == nullptr) {
        registry_dir[0] = '\0';
        reg_watch_set_root(nullptr);  // cache hook
        return;
    }
    std::snprintf(registry_dir, sizeof registry_dir, "%s", dir);
    // Cache hook: the caches watch this directory from now on.
    reg_watch_set_root(registry_dir);
}

reg_object* obj_lookup(reg_entry* entry, const std::int32_t* index, int count)
{
    if (entry == nullptr)
        return nullptr;
    char name[OBJ_FILE_NAME_MAX + 1];
    if (!object_file_name(entry, index, count, name))
        return nullptr;
    // Cache hook: an unchanged object is served from the object cache; a
    // miss reads the file and offers it to the cache.
    reg_object* obj = obj_cache_get(name);
    if (obj == nullptr) {
        obj = obj_read(name);
        obj_cache_put(name, obj);
    }
    if (obj == nullptr) {
        // The item may sit elsewhere in the next file found: search again.
        entry->item_pos = -1;
        return nullptr;
    }
    // The remembered position is only a guess: an agent may publish the
    // object again with items added, removed or reordered, and the item
    // there must still be the entry's before its value is served.
    const reg_item* at = obj_item(obj, entry->item_pos);
    if (at == nullptr || std::strncmp(at->name, entry->name, ITEM_NAME_MAX) != 0) {
        entry->item_pos = obj_item_index(entry->name, obj);
        if (entry->item_pos == -1)
            return nullptr;
    }
    return obj;
}

const std::int32_t* obj_select_index(reg_entry* entry, const std::uint32_t* subids, int length, int* count, int mode)
{
    if (entry == nullptr || count == nullptr || length < 0)
        return nullptr;
    int entry_count = entry->index_count;
    if (entry_count < 0 || entry_count > OBJ_SELECT_MAX)
        return nullptr;
    if (strnlen(entry->subpath, sizeof entry->subpath) == sizeof entry->subpath ||
        !obj_name_valid(entry->subpath))
        return nullptr;
    // The search reads the table's directory by path: the registry's path
    // before the sub-path, so that the working directory plays no part.
    char table[PATH_MAX];
    if (registry_dir[0] == '\0')
        std::snprintf(table, sizeof table, "%s", entry->subpath);
    else if (std::snprintf(table, sizeof table, "%s/%s", registry_dir, entry->subpath) >=
             static_cast<int>(sizeof table))
        return nullptr;

    switch (mode) {
    case IDX_EXACT:
        // A request too short to carry the whole index names no row.
        if (entry_count > length || (entry_count > 0 && subids == nullptr))
            return nullptr;
        *count = entry_count;
        for (int i = 0; i < entry_count; ++i)
            index_buffer[i] = static_cast<std::int32_t>(subids[length - entry_count + i]);
        return index_buffer;
    case IDX_NEXT: {
        int given = *count;
        // The search answers with at most SEARCH_INDEX_MAX values; an entry
        // with more would have its caller read past them.
        if (given < 0 || given > OBJ_SELECT_MAX || given > length || (given > 0 && subids == nullptr) ||
            entry_count > SEARCH_INDEX_MAX)
            return nullptr;
        for (int i = 0; i < given; ++i)
            index_buffer[i] = static_cast<std::int32_t>(subids[length - given + i]);
        const std::int32_t* found = next_instance(entry->subpath, table, index_buffer, given);
        if (found == nullptr)
            return nullptr;
        *count = entry_count;
        return found;
    }
    case IDX_FIRST: {
        if (entry_count > SEARCH_INDEX_MAX)
            return nullptr;
        *count = entry_count;
        for (std::int32_t& value : index_buffer)
            value = -1;
        return next_instance(entry->subpath, table, index_buffer, entry_count);
    }
    default:
        return nullptr;
    }
}

void obj_dump(FILE* stream, const reg_object* obj)
{
    log_line(stream, "\n*** %.*s - %.*s\n", static_cast<int>(OBJ_NAME_MAX), obj->name, static_cast<int>(OBJ_PATH_MAX),
             obj->path);
    const reg_item* items = obj_items(obj);
    for (std::uint32_t i = 0; i < obj->item_count; ++i)
        obj_dump_item(stream, &items[i]);
}

void obj_dump_item(FILE* stream, const reg_item* item)
{
    static const char* const type_names[] = {"UNSIGNED", "SIGNED", "STRING", "RAW", "OID"};
    static const char* const state_names[] = {"DISABLED", "ENABLED"};
    static const char* const access_names[] = {"RD/WR", "WR", "RD"};
    char type_spare[4], state_spare[4], access_spare[4];
    log_line(stream, "\"%20.*s\" %9s %7s %5s: ", static_cast<int>(ITEM_NAME_MAX), item->name,
             code_name(item->type, type_names, 5, type_spare, sizeof type_spare),
             code_name(item->state, state_names, 2, state_spare, sizeof state_spare),
             code_name(item->access, access_names, 3, access_spare, sizeof access_spare));

    switch (item->type) {
    case ITEM_UNSIGNED:
        log_line(stream, "%u\n", obj_value_unsigned(item));
        break;
    case ITEM_SIGNED:
        log_line(stream, "%d\n", obj_value_signed(item));
        break;
    case ITEM_STRING:
    case ITEM_OID:
        // Text values stand on a line of their own.
        log_line(stream, "\n");
        log_line(stream, "%.*s\n", static_cast<int>(item->size), reinterpret_cast<const char*>(obj_value(item)));
        break;
    case ITEM_RAW: {
        log_line(stream, "\n");
        const unsigned char* value = obj_value(item);
        for (unsigned i = 0; i < item->length; ++i)
            log_line(stream, "%X ", static_cast<unsigned>(value[i]));
        log_line(stream, "\n");
        break;
    }
    default:
        // A type we cannot show: end the line so the next item starts fresh.
        log_line(stream, "\n");
        break;
    }
}
