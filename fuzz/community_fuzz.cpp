// Feeds arbitrary bytes to the community file reader as the file's content.
// The getone trials are answered by a stand-in that accepts communities
// beginning with 'a' and checks that every command line it is given holds
// the community as one single-quoted shell word.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "lib/community.h"

namespace {

int fake_getone(const char* command, char* output, std::size_t size)
{
    const char prefix[] = "getone 127.0.0.1 '";
    const char suffix[] = "' 1.3.6.1.2.1.1.1.0";
    std::size_t length = strlen(command);
    if (strncmp(command, prefix, sizeof prefix - 1) != 0 || length > COMMAND_LINE_MAX ||
        length < sizeof prefix - 1 + sizeof suffix - 1 ||
        strcmp(command + length - (sizeof suffix - 1), suffix) != 0)
        abort();
    bool accept = command[sizeof prefix - 1] == 'a';
    snprintf(output, size, "%s", accept ? "Name: x\nValue: y\n" : "Timeout\n");
    return 0;
}

std::string scratch_file()
{
    char name[] = "/tmp/community_fuzz.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        abort();
    close(fd);
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = scratch_file();
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr)
        return 0;
    fwrite(data, 1, size, file);
    fclose(file);
    char* found = find_community(path.c_str(), fake_getone);
    if (found != nullptr && found[0] != 'a')
        abort();
    free(found);
    return 0;
}
