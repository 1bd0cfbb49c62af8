// Preloaded into the program under test, this refuses the first request for
// exactly 200 bytes, as a heap that has run out would, and hands every other
// request to the C library's allocator.
#include <cerrno>
#include <cstddef>

extern "C" void*
__libc_malloc(std::size_t size); // NOLINT(*reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {
bool refused = false;
}

extern "C" void* malloc(std::size_t size)
{
    if (size == 200 && !refused) {
        refused = true;
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
