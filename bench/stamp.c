/* Stand-in application: records when it was started, as nanoseconds of CLOCK_REALTIME,
 * into the file named by the environment variable QV_BENCH_STAMP, then exits. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const char* path = getenv("QV_BENCH_STAMP");
    if (!path || !*path) {
        return 0;
    }
    FILE* out = fopen(path, "w");
    if (!out) {
        perror(path);
        return 1;
    }
    fprintf(out, "%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    return fclose(out) == 0 ? 0 : 1;
}
