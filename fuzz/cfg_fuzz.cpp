// Feeds arbitrary bytes, as a configuration file, to both configuration
// readers, the registry map's once as a main file and once as a fragment. Errors that would end the daemon are turned into an exception
// by the parser's stop hook, so one fuzzing process survives them; what the
// readers appended is released after every input.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cfg/cfg.h"
#include "cfg/parse.h"
#include "cfg/reg.h"

namespace {

struct read_stopped {};

void stop_read(const char*, const char*)
{
    throw read_stopped{};
}

// The input lives in an anonymous memory file, opened again by its /proc
// name: no disk traffic per run.
char input_path[64];
int input_fd = -1;

void release_outputs()
{
    cfg_reset();
    while (void* entry = q_take(&registry_Q))
        std::free(entry);
    registry_count = 0;
}

template <class Reader>
void read_guarded(Reader reader)
{
    try {
        reader(input_path);
    } catch (const read_stopped&) {
        // The daemon would have exited here; the next read starts afresh.
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    input_fd = memfd_create("cfg_fuzz", 0);
    if (input_fd < 0)
        std::abort();
    std::snprintf(input_path, sizeof input_path, "/proc/self/fd/%d", input_fd);
    parse_set_stop_hook(stop_read);
    // The readers' messages would drown the fuzzer's own output; sanitizer
    // reports go to the descriptor, not this stream, and are kept.
    if (FILE* quiet = std::fopen("/dev/null", "w"))
        stderr = quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (ftruncate(input_fd, 0) != 0 || pwrite(input_fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    read_guarded(read_config_file);
    read_guarded(read_registry_file);
    // Again as a fragment of the map just read (its directory kept).
    read_guarded(read_registry_fragment);
    release_outputs();
    return 0;
}
