// stack_probe.h: how much stack a call uses, measured on a thread of its own whose unused
// stack is painted before the call and read back after it.
#ifndef SWMA_TEST_STACK_PROBE_H
#define SWMA_TEST_STACK_PROBE_H

#include <pthread.h>
#include <stddef.h>

#include <functional>

namespace swt {

namespace detail {
struct StackRun {
    const std::function<void()> *call;
    size_t used;
};

__attribute__((noinline)) inline void paint_and_call(StackRun *r)
{
    const size_t depth = 96 * 1024;
    volatile unsigned char *sp = static_cast<unsigned char *>(__builtin_frame_address(0));
    for (size_t i = 512; i < depth; i++)
        sp[-static_cast<ptrdiff_t>(i)] = 0xA5;
    (*r->call)();
    size_t deepest = 0;
    for (size_t i = 512; i < depth; i++)
        if (sp[-static_cast<ptrdiff_t>(i)] != 0xA5)
            deepest = i;
    r->used = deepest;
}
} // namespace detail

// Bytes of stack below the probe's own frame that `call` wrote to (at most 96 KiB is seen);
// 0 if the thread could not be started.
inline size_t stack_used(const std::function<void()> &call)
{
    detail::StackRun run{&call, 0};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t t;
    const int rc = pthread_create(&t, &attr,
                                  [](void *p) -> void * {
                                      detail::paint_and_call(static_cast<detail::StackRun *>(p));
                                      return nullptr;
                                  },
                                  &run);
    if (rc == 0)
        pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    return run.used;
}

} // namespace swt

#endif
