// Where items meet the MIB: which set values an object type takes, which
// fit an item whole, and the syntax an item's value has in a trap.
#include "smux/syntax.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The syntax of a definitions-file line with `name` as its syntax.
const object_syntax* syntax_named(const std::string& name)
{
    static int defined = 0;
    std::string descriptor = "syn" + name;
    if (text2obj(descriptor.c_str()) == nullptr) {
        std::string defs = descriptor + " enterprises.32473.11.99." + std::to_string(++defined) + " " + name +
                           " read-write mandatory\n";
        EXPECT_EQ(readobjects_from_buffer(defs.data(), defs.size(), "syntax"), 0) << smux_info;
    }
    return text2obj(descriptor.c_str())->syntax;
}

TEST(set_syntax_status, each_object_syntax_takes_values_of_its_own_tag_only)
{
    const struct {
        const char* syntax;
        int takes;
    } table[] = {
        {"INTEGER", SNMP_INTEGER},          {"Integer32", SNMP_INTEGER},     {"DisplayString", SNMP_OCTET_STRING},
        {"OctetString", SNMP_OCTET_STRING}, {"PhysAddress", SNMP_OCTET_STRING}, {"ObjectID", SNMP_OBJECT_ID},
        {"IpAddress", SNMP_IPADDRESS},      {"Counter32", SNMP_COUNTER},     {"Gauge", SNMP_GAUGE},
        {"Unsigned32", SNMP_GAUGE},         {"TimeTicks", SNMP_TIMETICKS},   {"Aggregate", 0},
    };
    for (const auto& row : table)
        for (int value : {SNMP_INTEGER, SNMP_OCTET_STRING, SNMP_NULL, SNMP_OBJECT_ID, SNMP_IPADDRESS, SNMP_COUNTER,
                          SNMP_GAUGE, SNMP_TIMETICKS})
            EXPECT_EQ(set_syntax_status(syntax_named(row.syntax), value),
                      value == row.takes ? SNMP_NO_ERROR : SNMP_WRONG_TYPE)
                << row.syntax << " given tag " << value;
}

reg_item item_of(std::uint8_t type, std::uint16_t size, std::uint16_t length = 0)
{
    reg_item item{};
    item.type = type;
    item.size = size;
    item.length = length;
    return item;
}

TEST(set_value_fit, a_value_fits_whole_with_its_terminator_or_not_at_all)
{
    const struct {
        std::uint8_t type;
        std::uint16_t size;
        std::size_t length;
        bool fits;
    } table[] = {
        {ITEM_STRING, 16, 15, true},   {ITEM_STRING, 16, 16, false}, {ITEM_OID, 8, 7, true},
        {ITEM_OID, 8, 8, false},       {ITEM_RAW, 8, 8, true},       {ITEM_RAW, 8, 9, false},
        {ITEM_UNSIGNED, 0, 4, true},   {ITEM_SIGNED, 64, 8, false},  // 32 bits, whatever the size says
        {ITEM_RAW, 60000, 3832, true}, {ITEM_RAW, 60000, 3833, false},  // one mail's room
    };
    for (const auto& row : table) {
        reg_item item = item_of(row.type, row.size);
        EXPECT_EQ(set_value_fit(&item, row.length), row.fits ? SNMP_NO_ERROR : SNMP_WRONG_LENGTH)
            << "type " << int(row.type) << " size " << row.size << " length " << row.length;
    }
}

TEST(trap_value_syntax, the_object_types_syntax_where_the_value_can_carry_it)
{
    const struct {
        std::uint8_t type;
        std::uint16_t raw_length;
        const char* syntax;  // null: no object type
        int tag;
    } table[] = {
        {ITEM_UNSIGNED, 0, "Gauge", SNMP_GAUGE},         {ITEM_UNSIGNED, 0, "TimeTicks", SNMP_TIMETICKS},
        {ITEM_UNSIGNED, 0, nullptr, SNMP_COUNTER},       {ITEM_UNSIGNED, 0, "DisplayString", SNMP_COUNTER},
        {ITEM_SIGNED, 0, "Unsigned32", SNMP_GAUGE},      {ITEM_SIGNED, 0, nullptr, SNMP_INTEGER},
        {ITEM_RAW, 4, "IpAddress", SNMP_IPADDRESS},      {ITEM_RAW, 3, "IpAddress", SNMP_OCTET_STRING},
        {ITEM_STRING, 0, "IpAddress", SNMP_OCTET_STRING}, {ITEM_OID, 0, "INTEGER", SNMP_OBJECT_ID},
        {9, 0, "INTEGER", SNMP_NULL},
    };
    for (const auto& row : table) {
        reg_item item = item_of(row.type, 16, row.raw_length);
        EXPECT_EQ(trap_value_syntax(&item, row.syntax != nullptr ? syntax_named(row.syntax) : nullptr), row.tag)
            << "type " << int(row.type) << " under " << (row.syntax ? row.syntax : "no object type");
    }
}

}  // namespace
