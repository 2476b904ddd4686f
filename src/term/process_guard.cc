#include "src/term/process_guard.h"

#include <sys/resource.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#elif defined(__FreeBSD__)
#include <sys/procctl.h>
#endif

namespace tessarin {

void guard_process() {
    struct rlimit no_core = {0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
#if defined(__linux__)
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#elif defined(__FreeBSD__)
    int disable = PROC_TRACE_CTL_DISABLE;
    ::procctl(P_PID, ::getpid(), PROC_TRACE_CTL, &disable);
#endif
}

}  // namespace tessarin
