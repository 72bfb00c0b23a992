// Arbitrary bytes as an object file: written to a scratch file, read back
// with obj_read_file (the reader behind obj_read, the daemon's only way in) and dumped to /dev/null, so that
// every field the reader accepts is also used.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "store/obj.h"

namespace {

const char* scratch_file()
{
    // Memory-backed when the host has it: an input is read up to 21 times.
    static char shm_name[] = "/dev/shm/obj_fuzz.XXXXXX";
    static char tmp_name[] = "/tmp/obj_fuzz.XXXXXX";
    static const char* name = nullptr;
    if (name == nullptr) {
        int fd = mkstemp(shm_name);
        name = shm_name;
        if (fd < 0) {
            fd = mkstemp(tmp_name);
            name = tmp_name;
        }
        if (fd < 0)
            std::abort();
        close(fd);
        std::atexit([] { unlink(name); });
    }
    return name;
}

FILE* sink()
{
    static FILE* null = std::fopen("/dev/null", "w");
    return null;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* name = scratch_file();
    int fd = open(name, O_WRONLY | O_TRUNC);
    if (fd < 0)
        return 0;
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);

    reg_object* obj = obj_read_file(name);
    if (obj != nullptr) {
        obj_dump(sink(), obj);
        obj_item_index("sysDescr", obj);
        for (std::uint32_t i = 0; i < obj->item_count; ++i) {
            const reg_item* item = obj_item(obj, static_cast<int>(i));
            if (item->type == ITEM_UNSIGNED || item->type == ITEM_SIGNED)
                (void)obj_value_unsigned(item);
        }
    }
    return 0;
}
