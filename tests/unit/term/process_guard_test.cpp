#include "src/term/process_guard.h"

#include <gtest/gtest.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessarin {
namespace {

TEST(ProcessGuard, NoCoreFileAndNotDumpable) {
    // In a child: the guard is for the whole rest of a process's life.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit some = {4096, 4096};
        ::setrlimit(RLIMIT_CORE, &some);
        guard_process();
        struct rlimit after {};
        ::getrlimit(RLIMIT_CORE, &after);
        bool ok = after.rlim_cur == 0 && after.rlim_max == 0;
#if defined(__linux__)
        ok = ok && ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0;
#endif
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace tessarin
