// SPDX-License-Identifier: MIT
#include "Memory.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace tolvar {

namespace {

constexpr std::size_t kLongLine = 1 << 20;

} // namespace

void GiveBackIfLong(std::string& bytes) {
    if (bytes.capacity() < kLongLine)
        return;
    bytes.shrink_to_fit();
#ifdef __GLIBC__
    // glibc keeps freed blocks for reuse, and after large frees it keeps up to 64 MiB.
    ::malloc_trim(0);
#endif
}

} // namespace tolvar
