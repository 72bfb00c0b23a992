// Feeds arbitrary MAIL_TRAP bodies to relay_trap. The trap's receivers are
// stand-ins that walk the built list; the object it names is one of two
// fixed object files (a scalar group with an item of every type, a table
// row), and no community file exists, so no command but `uname -n` runs.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/mail_format.h"
#include "smux/trap.h"
#include "snmp/mib.h"

namespace {

int walk_list(std::int32_t, const snmp_varbind* list)
{
    std::size_t n = 0;
    for (const snmp_varbind* vb = list; vb != nullptr; vb = vb->next) {
        if (vb->name == nullptr || vb->name->count == 0)
            abort();
        ++n;
    }
    if (n < 2)
        abort();  // host name and enterprise value come first, always
    return 0;
}

struct item_spec {
    const char* name;
    std::uint8_t type;
    std::vector<unsigned char> value;
    std::uint16_t raw_length;
};

void write_object(const char* name, const std::vector<std::int32_t>& index, const std::vector<item_spec>& items)
{
    std::size_t data_size = 0;
    for (const auto& it : items)
        data_size += it.value.size();
    std::size_t length = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * items.size() + data_size;
    std::vector<unsigned char> image(length, 0);
    reg_object header{};
    snprintf(header.name, sizeof header.name, "%s", name);
    for (std::size_t i = 0; i < index.size(); ++i)
        header.index[i] = index[i];
    header.index_count = static_cast<std::int32_t>(index.size());
    header.length = static_cast<std::uint32_t>(length);
    header.item_count = static_cast<std::uint32_t>(items.size());
    header.data_size = static_cast<std::uint32_t>(data_size);
    memcpy(image.data(), &header, sizeof header);
    std::size_t data_at = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * items.size();
    for (std::size_t i = 0; i < items.size(); ++i) {
        reg_item item{};
        snprintf(item.name, sizeof item.name, "%s", items[i].name);
        item.size = static_cast<std::uint16_t>(items[i].value.size());
        item.length = items[i].raw_length;
        item.type = items[i].type;
        item.state = STATE_ENABLED;
        std::size_t item_at = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * i;
        item.value_offset = static_cast<std::int32_t>(data_at - item_at);
        memcpy(image.data() + item_at, &item, sizeof item);
        memcpy(image.data() + data_at, items[i].value.data(), items[i].value.size());
        data_at += items[i].value.size();
    }
    FILE* f = fopen(name, "wb");
    if (f == nullptr)
        abort();
    fwrite(image.data(), 1, image.size(), f);
    fclose(f);
}

// Absolute names of the two objects: the fuzzer's own paths stay relative to
// the directory it was started in.
std::string object_path;
std::string row_path;

void set_up()
{
    static const char defs[] =
        "vdnTest enterprises.32473.11.9\n"
        "tCount vdnTest.1 Counter read-only mandatory\n"
        "tLevel vdnTest.2 INTEGER read-only mandatory\n"
        "tText vdnTest.3 DisplayString read-only mandatory\n"
        "tRaw vdnTest.4 OctetString read-only mandatory\n"
        "tOid vdnTest.5 ObjectID read-only mandatory\n";
    if (readobjects_from_buffer(defs, sizeof defs - 1, "trap_fuzz") != 0)
        abort();
    char dir[] = "/tmp/trap_fuzz.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        abort();
    std::string grp = std::string(dir) + "/grp";
    if (mkdir(grp.c_str(), 0755) != 0)
        abort();
    object_path = grp + "/obj";
    row_path = grp + "/row.2.5";
    std::vector<unsigned char> four = {1, 0, 0, 0};
    std::vector<unsigned char> text(16, 0);
    memcpy(text.data(), "warm", 4);
    std::vector<unsigned char> oid(24, 0);
    memcpy(oid.data(), "1.3.6.1.4.1.32473.5", 19);
    write_object(object_path.c_str(), {},
                 {{"tCount", ITEM_UNSIGNED, four, 0},
                  {"tLevel", ITEM_SIGNED, four, 0},
                  {"tText", ITEM_STRING, text, 0},
                  {"tRaw", ITEM_RAW, {1, 2, 3}, 3},
                  {"tOid", ITEM_OID, oid, 0},
                  {"tLevel", 77, four, 0}});
    write_object(row_path.c_str(), {2, 5}, {{"tLevel", ITEM_SIGNED, four, 0}});
    trap_set_senders(walk_list, walk_list);
    trap_set_enterprise_source((std::string(dir) + "/no-community-file").c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool ready = (set_up(), true);
    (void)ready;
    // Most inputs would name no object at all: the first byte may point the
    // trap at one of the two fixed objects.
    std::vector<unsigned char> body(data, data + size);
    constexpr std::size_t name_at = MAIL_OFF_OBJECT_NAME - MAIL_OFF_BODY;
    if (size >= name_at + OBJ_NAME_MAX && (data[0] & 3) != 0) {
        const std::string& name = (data[0] & 3) == 1 ? object_path : row_path;
        memset(body.data() + name_at, 0, OBJ_NAME_MAX);
        memcpy(body.data() + name_at, name.c_str(), name.size());
    }
    relay_trap(body.data(), body.size());
    return 0;
}
