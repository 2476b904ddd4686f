/* Peak resident set size of a command, without a shell in between.
 *
 *   peak_rss OUTFILE RUNS COMMAND [ARG...]
 *
 * Runs COMMAND RUNS times, one after the other, its standard output sent to /dev/null, and
 * writes "MEDIAN MAX" (kilobytes) to OUTFILE: the ru_maxrss that wait4 reports for each run,
 * which is the largest of the process itself and every descendant it waited for (so a
 * runner that starts two programs reports the larger of the two). Exit status 1 as soon as a
 * run fails.
 *
 * Built by bench/request.sh: gcc -O2 peak_rss.c
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static int by_value(const void *a, const void *b)
{
    long x = *(const long *)a, y = *(const long *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: peak_rss OUTFILE RUNS COMMAND [ARG...]\n");
        return 2;
    }
    int runs = atoi(argv[2]);
    if (runs < 1) {
        fprintf(stderr, "peak_rss: RUNS must be at least 1\n");
        return 2;
    }
    long *kb = calloc((size_t)runs, sizeof *kb);
    posix_spawn_file_actions_t actions;
    if (!kb || posix_spawn_file_actions_init(&actions) != 0 ||
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) != 0)
        return 1;
    for (int i = 0; i < runs; i++) {
        pid_t pid;
        int status;
        struct rusage usage;
        if (posix_spawnp(&pid, argv[3], &actions, NULL, &argv[3], environ) != 0 ||
            wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            fprintf(stderr, "peak_rss: %s failed\n", argv[3]);
            return 1;
        }
        kb[i] = usage.ru_maxrss;
    }
    qsort(kb, (size_t)runs, sizeof *kb, by_value);
    FILE *out = fopen(argv[1], "w");
    if (!out || fprintf(out, "%ld %ld\n", kb[runs / 2], kb[runs - 1]) < 0 || fclose(out) != 0)
        return 1;
    return 0;
}
