// Directory walks and the executable search along PATH.
#include "lib/dirsearch.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Copies `text` into `out` when it fits with its terminator.
bool copy_fits(char* out, std::size_t out_size, const char* text)
{
    std::size_t length = strlen(text);
    if (length >= out_size)
        return false;
    memcpy(out, text, length + 1);
    return true;
}

bool exists(const char* path)
{
    struct stat status;
    return stat(path, &status) == 0;
}

}  // namespace

int dir_next_entry(const char* dir, char* name, std::size_t name_size, DIR** handle)
{
    if (*handle == nullptr) {
        *handle = opendir(dir);
        if (*handle == nullptr)
            return -1;
    }
    while (const dirent* entry = readdir(*handle)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        // A cut name could pass for another file: such an entry is skipped.
        if (copy_fits(name, name_size, entry->d_name))
            return 0;
    }
    closedir(*handle);
    *handle = nullptr;
    return -1;
}

std::vector<std::string> fragment_files(const char* dir, const char* suffix)
{
    std::vector<std::string> found;
    std::size_t suffix_length = strlen(suffix);
    char name[NAME_MAX + 1];
    DIR* handle = nullptr;
    while (dir_next_entry(dir, name, sizeof name, &handle) == 0) {
        std::size_t length = strlen(name);
        if (name[0] == '.' || length <= suffix_length || strcmp(name + length - suffix_length, suffix) != 0)
            continue;
        std::string path = std::string(dir) + "/" + name;
        struct stat status;
        if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
            found.push_back(path);
    }
    // std::string compares as unsigned bytes: the order is the C locale's.
    std::sort(found.begin(), found.end());
    return found;
}

char* path_part(char* path, int mode)
{
    char* slash = strrchr(path, '/');
    if (mode == PATH_LAST)
        return slash != nullptr ? slash + 1 : path;
    if (slash == nullptr)
        return path + strlen(path);  // the empty text, leaving the name intact
    *slash = '\0';
    return path;
}

const char* find_in_path(const char* name)
{
    static char found[SEARCH_PATH_SIZE];
    // An empty name would make every PATH directory itself a match.
    if (name[0] == '\0')
        return nullptr;
    if (name[0] == '/') {
        if (!copy_fits(found, sizeof found, name) || !exists(found))
            return nullptr;
        return found;
    }

    const char* path = getenv("PATH");
    if (path == nullptr)
        return nullptr;
    char dirs[SEARCH_PATH_SIZE];
    std::size_t length = strlen(path);
    if (length > sizeof dirs - 1) {
        // Only the first 1023 characters are read; a directory cut short by
        // that limit would name some other place, so it is dropped.
        length = sizeof dirs - 1;
        if (path[length] != ':') {
            while (length > 0 && path[length - 1] != ':')
                --length;
        }
    }
    memcpy(dirs, path, length);
    dirs[length] = '\0';

    char* rest = dirs;
    while (*rest != '\0') {
        char* dir = rest;
        char* colon = strchr(rest, ':');
        if (colon != nullptr) {
            *colon = '\0';
            rest = colon + 1;
        } else {
            rest += strlen(rest);
        }
        // An empty or relative entry would search the working directory (or
        // one below it), which agents can write into.
        if (*dir != '/')
            continue;
        int written = snprintf(found, sizeof found, "%s/%s", dir, name);
        if (written < 0 || static_cast<std::size_t>(written) >= sizeof found)
            continue;  // does not fit: never try a cut path
        if (exists(found))
            return found;
    }
    return nullptr;
}

std::string search_path_dirs(const char* path)
{
    std::string dirs;
    const char* p = path;
    while (*p != '\0') {
        const char* end = strchr(p, ':');
        if (end == nullptr)
            end = p + strlen(p);
        if (*p == '/') {
            if (!dirs.empty())
                dirs += ':';
            dirs.append(p, end);
        }
        p = *end == ':' ? end + 1 : end;
    }
    return dirs;
}

std::string search_path_with(const char* path, const char* dir)
{
    if (path == nullptr || *path == '\0')
        return dir;
    std::string entries = std::string(":") + path + ":";
    if (entries.find(std::string(":") + dir + ":") != std::string::npos)
        return path;
    return std::string(dir) + ":" + path;
}
