// Helper of tools/bench: writes the generated large files of the benchmark
// payload, and runs one program, reporting its wall time and the peak
// resident memory of its process.
//
//   bench_payload mixed SIZE SEED FILE     write SIZE deterministic mixed bytes to FILE
//   bench_payload run PROGRAM [ARGS...]    run it (output discarded); print "SECONDS PEAK_KIB EXIT"
#include "tests/package/BenchData.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

namespace {

int Usage()
{
    std::fputs("usage: bench_payload mixed SIZE SEED FILE\n"
               "       bench_payload run PROGRAM [ARGS...]\n",
               stderr);
    return 2;
}

int WriteMixed(const char* size, const char* seed, const char* path)
{
    const std::string data = benchdata::MakeData(std::strtoull(size, nullptr, 10), benchdata::Kind::MIXED,
                                                 static_cast<uint32_t>(std::strtoul(seed, nullptr, 10)));
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "bench_payload: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The child's rusage from wait4 holds the largest resident set the process
// had under any of the images it exec'd (wine's launcher execs the loader,
// which becomes the Windows process).
int Run(char** argv)
{
    const double start = Now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("bench_payload: fork");
        return 1;
    }
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage;
    std::memset(&usage, 0, sizeof(usage));
    if (wait4(child, &status, 0, &usage) < 0) {
        std::perror("bench_payload: wait4");
        return 1;
    }
    const double seconds = Now() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%.4f %ld %d\n", seconds, static_cast<long>(usage.ru_maxrss), code);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "mixed") == 0)
        return WriteMixed(argv[2], argv[3], argv[4]);
    if (argc >= 3 && std::strcmp(argv[1], "run") == 0)
        return Run(argv + 2);
    return Usage();
}
