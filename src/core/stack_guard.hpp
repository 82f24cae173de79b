// A check of the native stack left to the current thread.
//
// The interpreter's recursion limit counts calls, not bytes: a user who
// raises it far enough could still walk a deep module graph off the end of
// the native stack. Each native function therefore also refuses to start
// when less than a safety margin of the thread's stack remains.
#pragma once

#include "errors.hpp"

#if defined(__linux__)
#include <pthread.h>
#endif

#include <cstdint>

namespace vsk {

// Room kept free for the interpreter and PyTorch frames below a native call;
// sanitizer builds use much larger frames.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::uintptr_t kStackMargin = 1024 * 1024;
#else
inline constexpr std::uintptr_t kStackMargin = 256 * 1024;
#endif

// Lowest usable stack address of this thread, found once per thread.
inline std::uintptr_t stack_limit() {
    thread_local std::uintptr_t limit = [] {
        std::uintptr_t low = 0;
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            // Small thread stacks (threading.stack_size) keep half as margin.
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
                std::uintptr_t margin = size / 2 < kStackMargin ? size / 2 : kStackMargin;
                low = reinterpret_cast<std::uintptr_t>(addr) + margin;
            }
            pthread_attr_destroy(&attr);
        }
#endif
        return low;
    }();
    return limit;
}

// False, with RecursionError set, when the native stack is nearly used up.
inline bool stack_has_room() {
    char here;
    if (reinterpret_cast<std::uintptr_t>(&here) > stack_limit()) return true;
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded (native stack nearly exhausted)");
    return false;
}

}  // namespace vsk
