// Fixed-width fields of the host-local formats: mails, object files and the
// board packet. All of them travel between processes of one machine, so the
// fields are in host byte order; they are copied byte-wise because a field
// of a mail or packet need not be aligned for its type.
#pragma once
#include <cstdint>
#include <cstring>

inline void encode_fixed16(unsigned char* at, std::uint16_t value)
{
    std::memcpy(at, &value, sizeof value);
}

inline void encode_fixed32(unsigned char* at, std::uint32_t value)
{
    std::memcpy(at, &value, sizeof value);
}

inline void encode_int32(unsigned char* at, std::int32_t value)
{
    std::memcpy(at, &value, sizeof value);
}

inline std::uint16_t decode_fixed16(const unsigned char* at)
{
    std::uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline std::uint32_t decode_fixed32(const unsigned char* at)
{
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline std::int32_t decode_int32(const unsigned char* at)
{
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
