// Reports which descriptors it started with: appends "<name>: 0 1 2" (its
// program name without directory, then each open descriptor) as one line to
// the file that DSMUX_FD_REPORT names. Started by the daemon as an agent, a
// mail command or getone, it shows what the daemon let its children inherit.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

int main(int, char** argv)
{
    const char* report = std::getenv("DSMUX_FD_REPORT");
    if (report == nullptr)
        return 2;
    // Listed before anything else is opened; the listing's own descriptor
    // is left out.
    std::set<int> open_fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 3;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir))
            open_fds.insert(std::atoi(entry->d_name));
    }
    closedir(dir);
    const char* slash = std::strrchr(argv[0], '/');
    std::string line = slash != nullptr ? slash + 1 : argv[0];
    line += ":";
    for (int fd : open_fds)
        line.append(" ").append(std::to_string(fd));
    line += "\n";
    int out = open(report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        return 4;
    bool ok = write(out, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(out);
    return ok ? 0 : 5;
}
