// Value syntaxes between the object files and the MIB: set values checked
// against the object type and the item, trap values given the object
// type's syntax.
#include "smux/syntax.h"

#include "mail/mail_format.h"
#include "snmp/types.h"

namespace {

bool numeric_syntax(int tag)
{
    return tag == SNMP_INTEGER || tag == SNMP_COUNTER || tag == SNMP_GAUGE || tag == SNMP_TIMETICKS;
}

// The value bytes an item holds: a 32-bit integer for the numbers, its
// size for everything else.
std::size_t item_capacity(const reg_item* item)
{
    if (item->type == ITEM_UNSIGNED || item->type == ITEM_SIGNED)
        return 4;
    return item->size;
}

}  // namespace

int set_syntax_status(const object_syntax* object, int value_tag)
{
    // Aggregate (tag 0) and NULL hold no value anyone could set.
    if (object == nullptr || object->tag == 0 || object->tag == SNMP_NULL)
        return SNMP_WRONG_TYPE;
    return value_tag == object->tag ? SNMP_NO_ERROR : SNMP_WRONG_TYPE;
}

std::size_t set_value_size(const reg_item* item, std::size_t length)
{
    bool text = item->type == ITEM_STRING || item->type == ITEM_OID;
    return length + (text ? 1 : 0);
}

int set_value_fit(const reg_item* item, std::size_t length)
{
    std::size_t bytes = set_value_size(item, length);
    // A mail longer than the agent's receive capacity could not be read.
    if (bytes > item_capacity(item) || bytes > MAIL_TEXT_MAX - MAIL_SET_BASE)
        return SNMP_WRONG_LENGTH;
    return SNMP_NO_ERROR;
}

int trap_value_syntax(const reg_item* item, const object_syntax* object)
{
    int mib = object != nullptr ? object->tag : 0;
    switch (item->type) {
    case ITEM_UNSIGNED:
        return numeric_syntax(mib) ? mib : SNMP_COUNTER;
    case ITEM_SIGNED:
        return numeric_syntax(mib) ? mib : SNMP_INTEGER;
    case ITEM_STRING:
        return SNMP_OCTET_STRING;
    case ITEM_RAW:
        // An IpAddress is exactly four octets; any other length would make
        // a varbind no manager can read.
        return mib == SNMP_IPADDRESS && item->length == 4 ? SNMP_IPADDRESS : SNMP_OCTET_STRING;
    case ITEM_OID:
        return SNMP_OBJECT_ID;
    default:
        return SNMP_NULL;
    }
}
