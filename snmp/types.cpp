// OIDs, octet strings, varbinds and request records: the small heap records
// the daemon builds and hands to the SMUX routines (snmp/types.h). Text to
// OID is the MIB's (mib.cpp): it resolves the names.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "snmp/types.h"

snmp_oid* oid_extend(const snmp_oid* oid, int k)
{
    int from = oid ? oid->count : 0;
    int count = from + k;
    if (count < 0 || count > SNMP_MAX_SUBIDS)
        return nullptr;
    auto* out = new (std::nothrow) snmp_oid{static_cast<uint16_t>(count), nullptr};
    if (out == nullptr)
        return nullptr;
    // Always allocate at least one element so that ids is never null.
    out->ids = new (std::nothrow) uint32_t[count > 0 ? count : 1]();
    if (out->ids == nullptr) {
        delete out;
        return nullptr;
    }
    int copy = from < count ? from : count;
    if (copy > 0)
        memcpy(out->ids, oid->ids, static_cast<size_t>(copy) * sizeof(uint32_t));
    return out;
}

snmp_oid* oid_cpy(const snmp_oid* oid)
{
    if (oid == nullptr)
        return nullptr;
    return oid_extend(oid, 0);
}

void free_oid(snmp_oid* oid)
{
    if (oid == nullptr)
        return;
    delete[] oid->ids;
    delete oid;
}

int oid_cmp(const snmp_oid* a, const snmp_oid* b)
{
    int na = a ? a->count : 0, nb = b ? b->count : 0;
    int n = na < nb ? na : nb;
    for (int i = 0; i < n; ++i)
        if (a->ids[i] != b->ids[i])
            return a->ids[i] < b->ids[i] ? -1 : 1;
    return na == nb ? 0 : (na < nb ? -1 : 1);
}

int make_dot_from_obj_id(const snmp_oid* oid, char* buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return -1;
    buf[0] = '\0';
    if (oid == nullptr)
        return -1;
    size_t used = 0;
    for (int i = 0; i < oid->count; ++i) {
        int n = snprintf(buf + used, size - used, i == 0 ? "%u" : ".%u", oid->ids[i]);
        if (n < 0 || static_cast<size_t>(n) >= size - used) {
            buf[0] = '\0';
            return -1;
        }
        used += static_cast<size_t>(n);
    }
    return 0;
}

snmp_octets* make_octetstring(const void* bytes, size_t len)
{
    if (len > UINT32_MAX || (bytes == nullptr && len != 0))
        return nullptr;
    auto* out = new (std::nothrow) snmp_octets{static_cast<uint32_t>(len), nullptr};
    if (out == nullptr)
        return nullptr;
    out->bytes = new (std::nothrow) uint8_t[len > 0 ? len : 1];
    if (out->bytes == nullptr) {
        delete out;
        return nullptr;
    }
    if (len != 0)
        memcpy(out->bytes, bytes, len);
    return out;
}

snmp_octets* make_octet_from_text(const char* text)
{
    if (text == nullptr)
        return nullptr;
    return make_octetstring(text, strlen(text));
}

void free_octets(snmp_octets* octets)
{
    if (octets == nullptr)
        return;
    delete[] octets->bytes;
    delete octets;
}

void snmp_value_clear(snmp_value* value)
{
    if (value == nullptr)
        return;
    free_octets(value->octets);
    free_oid(value->oid);
    *value = snmp_value{SNMP_NULL, 0, 0, nullptr, nullptr};
}

snmp_varbind* make_varbind(snmp_oid* name, int syntax, uint32_t uval, int32_t sval,
                           snmp_octets* octets, snmp_oid* oid_value)
{
    snmp_value value{syntax, 0, 0, nullptr, nullptr};
    bool ok = name != nullptr;
    switch (syntax) {
    case SNMP_INTEGER:
    case SNMP_TIMETICKS:
        value.sval = sval;
        value.uval = static_cast<uint32_t>(sval);
        break;
    case SNMP_COUNTER:
    case SNMP_GAUGE:
        value.uval = uval;
        value.sval = static_cast<int32_t>(uval);
        break;
    case SNMP_NULL:
        break;
    case SNMP_OCTET_STRING:
    case SNMP_OPAQUE:
        ok = ok && octets != nullptr;
        break;
    case SNMP_IPADDRESS:
        ok = ok && octets != nullptr && octets->len == 4;
        break;
    case SNMP_OBJECT_ID:
        ok = ok && oid_value != nullptr;
        break;
    default:
        ok = false;
    }
    if (ok && (syntax == SNMP_OCTET_STRING || syntax == SNMP_OPAQUE || syntax == SNMP_IPADDRESS)) {
        value.octets = octets;
        octets = nullptr;
    }
    if (ok && syntax == SNMP_OBJECT_ID) {
        value.oid = oid_value;
        oid_value = nullptr;
    }
    snmp_varbind* vb = ok ? new (std::nothrow) snmp_varbind{name, value, nullptr} : nullptr;
    // Whatever the varbind did not take is released here, so that a caller
    // never has to work out which pieces survived a failure.
    free_octets(octets);
    free_oid(oid_value);
    if (vb == nullptr) {
        free_oid(name);
        free_octets(value.octets);
        free_oid(value.oid);
    }
    return vb;
}

void free_varbind_list(snmp_varbind* list)
{
    while (list != nullptr) {
        snmp_varbind* next = list->next;
        free_oid(list->name);
        snmp_value_clear(&list->value);
        delete list;
        list = next;
    }
}

smux_request* make_request(int32_t request_id, snmp_varbind* varbinds)
{
    return new smux_request{request_id, 0, 0, varbinds};
}

void free_request(smux_request* request)
{
    if (request == nullptr)
        return;
    free_varbind_list(request->varbinds);
    delete request;
}

int snmp_v1_status(int status)
{
    switch (status) {
    case SNMP_WRONG_VALUE:
    case SNMP_WRONG_ENCODING:
    case SNMP_WRONG_TYPE:
    case SNMP_WRONG_LENGTH:
    case SNMP_INCONSISTENT_VALUE:
        return SNMP_BAD_VALUE;
    case SNMP_NO_ACCESS:
    case SNMP_NOT_WRITABLE:
    case SNMP_NO_CREATION:
    case SNMP_INCONSISTENT_NAME:
    case SNMP_AUTHORIZATION_ERROR:
        return SNMP_NO_SUCH_NAME;
    case SNMP_RESOURCE_UNAVAILABLE:
    case SNMP_COMMIT_FAILED:
    case SNMP_UNDO_FAILED:
        return SNMP_GEN_ERR;
    default:
        return status;
    }
}
