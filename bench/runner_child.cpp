// The child of the runner benchmarks.
//   runner_child lines N       N numbered lines of 100 characters, as fast as possible
//   runner_child ticks N MS    N lines, one every MS ms, each holding the monotonic time (ns)
//   runner_child silent S      nothing for S seconds
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <unistd.h>

namespace {

long long NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const std::string mode = argv[1];
    const long count = std::atol(argv[2]);
    if (mode == "lines") {
        static char buffer[1 << 16];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        char line[102];
        std::memset(line, 'x', sizeof line);
        line[100] = '\n';
        for (long i = 0; i < count; ++i) {
            char number[16];
            const int n = std::snprintf(number, sizeof number, "%09ld ", i);
            std::memcpy(line, number, size_t(n));
            std::fwrite(line, 1, 101, stdout);
        }
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (mode == "ticks" && argc > 3) {
        const long ms = std::atol(argv[3]);
        for (long i = 0; i < count; ++i) {
            usleep(useconds_t(ms * 1000));
            std::printf("%lld\n", NowNs());
            std::fflush(stdout);
        }
        return 0;
    }
    if (mode == "silent") {
        sleep(unsigned(count));
        return 0;
    }
    return 2;
}
