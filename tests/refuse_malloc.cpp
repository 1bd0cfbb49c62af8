// Preloaded into quilten, this refuses its first request for exactly 200
// bytes, as a heap that has run out would, and hands every other request to
// the C library's allocator.
//
// Only quilten is refused. Preloaded on valgrind, the shim lands in its
// wrapper script's shell and in its launcher as well, and the launcher's
// copy of the environment takes 200 bytes when there are 23 variables.
#include <cerrno>
#include <cstddef>
#include <cstring>

extern "C" void*
__libc_malloc(std::size_t size); // NOLINT(*reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {
bool refused = false;
}

extern "C" void* malloc(std::size_t size)
{
    if (size == 200 && !refused && std::strcmp(program_invocation_short_name, "quilten") == 0) {
        refused = true;
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
