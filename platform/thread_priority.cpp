#include "platform/thread_priority.h"

#include <cerrno>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#include <sys/qos.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace quillmark::platform {

void yieldToOtherThreads() noexcept
{
#if defined(_WIN32)
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#elif defined(__APPLE__)
    (void)pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#elif defined(__linux__)
    // A thread's nice value is its own on Linux. Ten steps weigh it about a tenth of a thread
    // at the process's own level: it still gets every core nobody else wants.
    constexpr int kSteps = 10;
    const auto self = static_cast<id_t>(gettid());
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (errno == 0) (void)setpriority(PRIO_PROCESS, self, now + kSteps > 19 ? 19 : now + kSteps);
#endif
}

}  // namespace quillmark::platform
