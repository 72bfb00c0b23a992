// Row file names and the row index. The input is a list of directory entry
// names, one per line ("!" first: taken as it is; otherwise the table's base
// name "tab" goes before it). They are made as files of one table directory
// of a scratch registry, and then:
//  - every name with an index suffix survives a round trip through the row
//    name codec (parse, build, parse) with the same values;
//  - the row index answers every next-row question exactly as a fresh scan
//    of the directory does, for starts taken from the rows themselves and
//    their neighbours, with every start count;
//  - the next input finds the directory changed, so the index must notice.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/dirsearch.h"
#include "store/obj.h"
#include "store/row_index.h"
#include "store/row_name.h"
#include "store/row_search.h"

namespace {

std::string root;

// The scratch registry, memory-backed when the host has it; its table
// directory emptied for each input.
void prepare()
{
    if (root.empty()) {
        char shm[] = "/dev/shm/row_index_fuzz.XXXXXX";
        char tmp[] = "/tmp/row_index_fuzz.XXXXXX";
        const char* made = mkdtemp(shm);
        if (made == nullptr)
            made = mkdtemp(tmp);
        if (made == nullptr)
            std::abort();
        root = made;
        mkdir((root + "/t").c_str(), 0755);
        obj_set_registry_dir(root.c_str());
        std::atexit([] { (void)!std::system(("rm -rf '" + root + "'").c_str()); });
    }
    DIR* handle = nullptr;
    char name[NAME_MAX + 1];
    std::vector<std::string> old;
    while (dir_next_entry((root + "/t").c_str(), name, sizeof name, &handle) == 0)
        old.push_back(name);
    for (const std::string& entry : old)
        unlink((root + "/t/" + entry).c_str());
}

void check_round_trip(const char* name)
{
    std::int32_t values[OBJ_INDEX_MAX];
    int count = 0;
    if (row_name_parse(name, values, OBJ_INDEX_MAX, &count) != 0 || count > static_cast<int>(OBJ_INDEX_MAX))
        return;
    char built[512];
    if (row_name_build(built, sizeof built, "tab", values, count) < 0)
        std::abort();
    std::int32_t again[OBJ_INDEX_MAX];
    int count_again = -1;
    if (row_name_parse(built, again, OBJ_INDEX_MAX, &count_again) != 0 || count_again != count ||
        std::memcmp(values, again, sizeof values[0] * static_cast<std::size_t>(count)) != 0)
        std::abort();
}

void check_next(const std::int32_t* start, int count)
{
    std::int32_t wanted[SEARCH_INDEX_MAX];
    const std::int32_t* scanned = obj_next_instance((root + "/t/tab").c_str(), start, count);
    if (scanned != nullptr)
        std::memcpy(wanted, scanned, sizeof wanted);
    const std::int32_t* indexed = nullptr;
    if (!row_index_next("t/tab", start, count, &indexed))
        return;  // not watched: the daemon scans, as above
    if ((scanned == nullptr) != (indexed == nullptr) ||
        (indexed != nullptr && std::memcmp(wanted, indexed, sizeof wanted) != 0))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    prepare();
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::vector<std::int32_t>> starts = {{}};
    std::size_t at = 0;
    for (int lines = 0; at < text.size() && lines < 24; ++lines) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        std::string name = !line.empty() && line[0] == '!' ? line.substr(1) : "tab" + line;
        if (name.empty() || name.size() > 59 || name == "." || name == ".." ||
            name.find_first_of(std::string("/\0", 2)) != std::string::npos)
            continue;
        check_round_trip(name.c_str());
        int fd = open((root + "/t/" + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
        std::int32_t values[SEARCH_INDEX_MAX];
        int count = 0;
        if (parse_index(name.c_str(), values, SEARCH_INDEX_MAX, &count) == 0 && count <= SEARCH_INDEX_MAX) {
            std::vector<std::int32_t> row(values, values + count);
            starts.push_back(row);
            if (!row.empty()) {
                row.back() -= row.back() > INT32_MIN ? 1 : 0;
                starts.push_back(row);
            }
        }
    }
    for (const auto& start : starts) {
        std::int32_t from[SEARCH_INDEX_MAX];
        for (int count = 0; count <= SEARCH_INDEX_MAX; ++count) {
            for (int i = 0; i < SEARCH_INDEX_MAX; ++i)
                from[i] = i < static_cast<int>(start.size()) ? start[static_cast<std::size_t>(i)] : -1;
            check_next(from, count);
        }
    }
    return 0;
}
