// Where items meet the MIB: which set values an object type takes, which fit
// an item whole, and an item's syntax in a trap. Object types are given by
// their syntax tag (mib_test maps the MIB's syntax names onto the tags).
#include "smux/syntax.h"

#include <gtest/gtest.h>

namespace {

const int TAGS[] = {SNMP_INTEGER, SNMP_OCTET_STRING, SNMP_NULL,   SNMP_OBJECT_ID, SNMP_IPADDRESS,
                    SNMP_COUNTER, SNMP_GAUGE,        SNMP_TIMETICKS, 0 /* Aggregate */};

TEST(set_syntax_status, each_object_syntax_takes_values_of_its_own_tag_only)
{
    for (int object : TAGS) {
        const object_syntax syntax{"s", object};
        // NULL and Aggregate objects hold nothing a set could write.
        bool holds = object != SNMP_NULL && object != 0;
        for (int value : TAGS)
            EXPECT_EQ(set_syntax_status(&syntax, value), holds && value == object ? SNMP_NO_ERROR : SNMP_WRONG_TYPE)
                << "object tag " << object << " given tag " << value;
    }
    EXPECT_EQ(set_syntax_status(nullptr, SNMP_INTEGER), SNMP_WRONG_TYPE);
}

TEST(set_value_fit, a_value_fits_whole_with_its_terminator_or_not_at_all)
{
    const struct { std::uint8_t type; std::uint16_t size; std::size_t length; bool fits; } table[] = {
        {ITEM_STRING, 16, 15, true},   {ITEM_STRING, 16, 16, false}, {ITEM_OID, 8, 7, true},
        {ITEM_OID, 8, 8, false},       {ITEM_RAW, 8, 8, true},       {ITEM_RAW, 8, 9, false},
        {ITEM_UNSIGNED, 0, 4, true},   {ITEM_SIGNED, 64, 8, false},  // 32 bits, whatever the size says
        {ITEM_RAW, 60000, 3832, true}, {ITEM_RAW, 60000, 3833, false},  // one mail's room
    };
    for (const auto& row : table) {
        reg_item item{};
        item.type = row.type;
        item.size = row.size;
        EXPECT_EQ(set_value_fit(&item, row.length), row.fits ? SNMP_NO_ERROR : SNMP_WRONG_LENGTH)
            << "type " << int(row.type) << " size " << row.size << " length " << row.length;
    }
}

TEST(trap_value_syntax, the_object_types_syntax_where_the_value_can_carry_it)
{
    const struct { std::uint8_t type; std::uint16_t raw_length; int syntax, tag; } table[] = {  // syntax -1: none
        {ITEM_UNSIGNED, 0, SNMP_GAUGE, SNMP_GAUGE},           {ITEM_UNSIGNED, 0, SNMP_TIMETICKS, SNMP_TIMETICKS},
        {ITEM_UNSIGNED, 0, -1, SNMP_COUNTER},                 {ITEM_UNSIGNED, 0, SNMP_OCTET_STRING, SNMP_COUNTER},
        {ITEM_SIGNED, 0, SNMP_GAUGE, SNMP_GAUGE},             {ITEM_SIGNED, 0, -1, SNMP_INTEGER},
        {ITEM_RAW, 4, SNMP_IPADDRESS, SNMP_IPADDRESS},        {ITEM_RAW, 3, SNMP_IPADDRESS, SNMP_OCTET_STRING},
        {ITEM_STRING, 0, SNMP_IPADDRESS, SNMP_OCTET_STRING}, {ITEM_OID, 0, SNMP_INTEGER, SNMP_OBJECT_ID},
        {9, 0, SNMP_INTEGER, SNMP_NULL},
    };
    for (const auto& row : table) {
        reg_item item{};
        item.type = row.type;
        item.length = row.raw_length;
        const object_syntax syntax{"s", row.syntax};
        EXPECT_EQ(trap_value_syntax(&item, row.syntax < 0 ? nullptr : &syntax), row.tag)
            << "type " << int(row.type) << " under tag " << row.syntax;
    }
}

}  // namespace
