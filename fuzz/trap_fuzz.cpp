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

#include "mail/mail_format.h"
#include "smux/trap.h"
#include "snmp/mib.h"
#include "tests/support/object_image.h"

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

void write_object(const char* name, const std::vector<std::int32_t>& index, const std::vector<image_item>& items)
{
    if (!write_object_file(name, object_image({name, "", 0, index}, items)))
        abort();
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
                 {{"tCount", ITEM_UNSIGNED, four, 0, 0, ACCESS_RDWR},
                  {"tLevel", ITEM_SIGNED, four, 0, 0, ACCESS_RDWR},
                  {"tText", ITEM_STRING, text, 0, 0, ACCESS_RDWR},
                  {"tRaw", ITEM_RAW, {1, 2, 3}, 0, 3, ACCESS_RDWR},
                  {"tOid", ITEM_OID, oid, 0, 0, ACCESS_RDWR},
                  {"tLevel", 77, four, 0, 0, ACCESS_RDWR}});
    write_object(row_path.c_str(), {2, 5}, {{"tLevel", ITEM_SIGNED, four, 0, 0, ACCESS_RDWR}});
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
    // The relay's parser and the dispatch's agree on every body: the whole
    // mail is the body behind a header.
    std::vector<unsigned char> mail(MAIL_OFF_BODY, 0);
    mail.insert(mail.end(), body.begin(), body.end());
    mail_trap_view from_body{};
    mail_trap_view from_mail{};
    mail_trap_fault body_fault = mail_trap_read(body.data(), body.size(), MAIL_OFF_BODY, &from_body);
    if (body_fault != mail_trap_read(mail.data(), mail.size(), 0, &from_mail))
        abort();
    if (body_fault == MAIL_TRAP_OK &&
        (from_body.item_count != from_mail.item_count || from_body.trap_number != from_mail.trap_number ||
         std::strcmp(from_body.text, from_mail.text) != 0))
        abort();
    return 0;
}
