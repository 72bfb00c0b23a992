// The object cache's image deltas: any image encoded against any reference
// decodes back to itself, whatever the output buffer held before; and any
// bytes handed to the decoder as a code stay within its buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/obj_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes split the rest into the reference and the image.
    std::size_t split = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % (size - 1);
    const std::uint8_t* rest = data + 2;
    std::size_t rest_size = size - 2;
    if (split > rest_size)
        split = rest_size;
    std::vector<unsigned char> ref(rest, rest + split), image(rest + split, rest + rest_size);

    std::string code;
    obj_delta_encode(image.data(), image.size(), ref.data(), ref.size(), code);
    // A dirty buffer: the decoder must write every byte of the image.
    std::vector<unsigned char> out(image.size(), 0xA5);
    if (!obj_delta_decode(code, ref.data(), ref.size(), out.data(), out.size()) || out != image)
        std::abort();

    // The input itself as a code, against the image as the reference.
    std::string raw(reinterpret_cast<const char*>(rest), rest_size);
    std::vector<unsigned char> any(split);
    (void)obj_delta_decode(raw, image.data(), image.size(), any.data(), any.size());
    return 0;
}
