// Loading a server-sized package (about 6 MB inflated, 15 entries) and a
// large one (the three programs and the help file at 16 MiB each) against the
// least any reader of the format must do with the same bytes on one core: the
// entry area's MD5, plain zlib inflate of every stream straight into a buffer
// of the known size, and the MD5 of every result. And MD5's own speed.
//
//   bench_package                  the benchmarks, and each load's ratio to its baseline
//   bench_package --peak-memory    peak resident memory of one load of each package
#include "package/Md5.h"
#include "package/PackageFormat.h"
#include "package/PackageSource.h"
#include "package/PackageTable.h"
#include "package/PackageView.h"
#include "package/PackageWriter.h"
#include "tests/package/BenchData.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using benchdata::Kind;
using benchdata::MakeData;

struct PayloadFile {
    const char* name;
    size_t size;
    Kind kind;
};

// The server build's entries with sizes and kinds of data like the real ones.
const PayloadFile PAYLOAD[] = {
    {"velloransrv.exe", 1400000, Kind::EXECUTABLE},   {"velloran.exe", 2100000, Kind::EXECUTABLE},
    {"license.txt", 18000, Kind::TEXT},                {"license.rtf", 42000, Kind::TEXT},
    {"velloran-help.chm", 1150000, Kind::COMPRESSED}, {"readme.txt", 6000, Kind::TEXT},
    {"uninstall.exe", 160000, Kind::EXECUTABLE},       {"velloransh.exe", 420000, Kind::EXECUTABLE},
    {"nexpnp.sys", 60000, Kind::EXECUTABLE},           {"nexstb.sys", 40000, Kind::EXECUTABLE},
    {"nexbus.sys", 90000, Kind::EXECUTABLE},           {"nexbus.inf", 5000, Kind::TEXT},
    {"nexbus.cat", 11000, Kind::COMPRESSED},           {"usblibvista", 260000, Kind::EXECUTABLE},
    {"usblibxp", 240000, Kind::EXECUTABLE},
};
constexpr size_t STUB_SIZE = 800000;

// The large product: the three programs and the help file at 16 MiB each.
constexpr size_t LARGE_FILE_SIZE = 16 * 1024 * 1024;

bool IsLargeInLargeProduct(const std::string& name)
{
    return name == "velloransrv.exe" || name == "velloran.exe" || name == "velloransh.exe" ||
           name == "velloran-help.chm";
}

enum Product : int { PRODUCT_SERVER = 0, PRODUCT_LARGE = 1 };

size_t FileSize(const PayloadFile& file, int product)
{
    return product == PRODUCT_LARGE && IsLargeInLargeProduct(file.name) ? LARGE_FILE_SIZE : file.size;
}

// A stub-sized run of code with the reader's constant in it, then the package.
std::string MakeSetupFile(int product, size_t* inflatedTotal)
{
    CPackageWriter writer;
    uint32_t seed = 1;
    *inflatedTotal = 0;
    for (const PayloadFile& file : PAYLOAD) {
        const size_t size = FileSize(file, product);
        const Kind kind = size == LARGE_FILE_SIZE ? Kind::MIXED : file.kind;
        writer.AddEntry(file.name, MakeData(size, kind, seed++));
        *inflatedTotal += size;
    }
    std::string stub = MakeData(STUB_SIZE, Kind::EXECUTABLE, 99);
    stub.replace(STUB_SIZE / 2, PACKAGE_MAGIC_SIZE + 1, PACKAGE_MAGIC, PACKAGE_MAGIC_SIZE + 1);
    return stub + writer.Build();
}

const std::string& SetupFile(int product)
{
    static size_t inflated = 0;
    static const std::string server = MakeSetupFile(PRODUCT_SERVER, &inflated);
    if (product == PRODUCT_SERVER)
        return server;
    static const std::string large = MakeSetupFile(PRODUCT_LARGE, &inflated);
    return large;
}

const uint8_t* Bytes(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

// range(0): the product.
void BM_PackageLoad(benchmark::State& state)
{
    const std::string& file = SetupFile(static_cast<int>(state.range(0)));
    std::vector<uint8_t> window(PACKAGE_WINDOW_SIZE);
    for (auto _ : state) {
        CPackageTable table;
        const int32_t status = table.Load(Bytes(file), file.size(), window.data(), PACKAGE_WINDOW_SIZE);
        if (status != PACKAGE_OK)
            state.SkipWithError("the package does not load");
        benchmark::DoNotOptimize(table.Count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

// One core, in order: what a reader that does nothing beyond the format's
// checks costs.
void BM_BaselineInflateAndMd5(benchmark::State& state)
{
    const int product = static_cast<int>(state.range(0));
    const std::string& file = SetupFile(product);
    CPackageView view;
    view.Open(Bytes(file), file.size());
    const uint8_t* area = Bytes(file) + view.HeaderOffset() + PACKAGE_HEADER_SIZE;
    const size_t areaSize = static_cast<size_t>(view.PackageSize() - PACKAGE_HEADER_SIZE);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CMd5::Digest(area, areaSize));
        size_t index = 0;
        for (const PackageEntryView& entry : view.Entries()) {
            uLongf size = static_cast<uLongf>(FileSize(PAYLOAD[index++], product));
            std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
            if (uncompress(out.get(), &size, entry.data, entry.compressedSize) != Z_OK)
                state.SkipWithError("uncompress failed");
            benchmark::DoNotOptimize(CMd5::Digest(out.get(), size));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

// MD5 on one core over data already in the cache hierarchy's reach.
void BM_Md5(benchmark::State& state)
{
    const std::string data = MakeData(static_cast<size_t>(state.range(0)), Kind::COMPRESSED, 7);
    for (auto _ : state)
        benchmark::DoNotOptimize(CMd5::Digest(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

BENCHMARK(BM_Md5)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PackageLoad)->Arg(PRODUCT_SERVER)->Arg(PRODUCT_LARGE)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BaselineInflateAndMd5)
    ->Arg(PRODUCT_SERVER)
    ->Arg(PRODUCT_LARGE)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// Prints each load's time over its baseline's after the usual table.
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.iterations > 0)
                m_times[run.benchmark_name()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        static const char* const products[] = {"server-sized", "large"};
        for (int product = PRODUCT_SERVER; product <= PRODUCT_LARGE; ++product) {
            const std::string suffix = "/" + std::to_string(product) + "/min_time:2.000";
            const auto load = m_times.find("BM_PackageLoad" + suffix);
            const auto base = m_times.find("BM_BaselineInflateAndMd5" + suffix);
            if (load != m_times.end() && base != m_times.end() && base->second.first > 0 && base->second.second > 0)
                std::printf("%s load / one-core baseline: %.3f real time, %.3f CPU time\n", products[product],
                            load->second.first / base->second.first, load->second.second / base->second.second);
        }
    }

private:
    std::map<std::string, std::pair<double, double>> m_times;  // real, CPU
};

long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0)
            return std::strtol(line.c_str() + length, nullptr, 10);
    }
    return -1;
}

// One load as the setup does it, in a fresh process so that the allocator
// holds nothing from making the payload: the file read where the reader needs
// it, on all processors. Reported: the growth of the peak resident set over
// the resident set before the load.
int LoadAndReportPeak(const char* path, size_t inflated)
{
    const int fd = open(path, O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        std::fprintf(stderr, "cannot open %s\n", path);
        return 1;
    }
    const size_t fileSize = static_cast<size_t>(info.st_size);
    std::vector<uint8_t> window(PACKAGE_WINDOW_SIZE);
    CPackageTable table;
    std::ofstream("/proc/self/clear_refs") << "5";  // peak := current
    const long before = StatusKb("VmRSS:");
    {
        const CPackageSource source(fileSize, [fd](uint64_t offset, uint8_t* buffer, size_t count) {
            return pread(fd, buffer, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
        });
        if (table.Load(source, window.data(), PACKAGE_WINDOW_SIZE, CPackageTable::DefaultWorkers()) != PACKAGE_OK) {
            std::fprintf(stderr, "the package does not load: %s\n", table.FaultText().c_str());
            return 1;
        }
    }
    close(fd);
    const long peak = StatusKb("VmHWM:");
    const long after = StatusKb("VmRSS:");
    if (before < 0 || peak < 0) {
        std::fprintf(stderr, "no /proc/self/status\n");
        return 1;
    }
    int32_t largest = 0;
    for (const std::string& name : table.Names()) {
        int32_t size = 0;
        table.Find(name, nullptr, &size);
        largest = size > largest ? size : largest;
    }
    const double mib = 1024.0 * 1024.0;
    const double budget = static_cast<double>(inflated) + 8 * mib;
    std::printf("file %.2f MiB, inflated %.2f MiB, largest entry %.2f MiB\n", fileSize / mib, inflated / mib,
                largest / mib);
    std::printf("peak growth %.2f MiB (budget inflated + 8 MiB = %.2f MiB), held after the load %.2f MiB\n",
                (peak - before) / 1024.0, budget / mib, (after - before) / 1024.0);
    return 0;
}

int MeasurePeakMemory()
{
    const char* path = "/tmp/velloran-bench-setup.bin";
    int failed = 0;
    for (int product = PRODUCT_SERVER; product <= PRODUCT_LARGE; ++product) {
        size_t inflated = 0;
        {
            const std::string file = MakeSetupFile(product, &inflated);
            std::ofstream(path, std::ios::binary) << file;
        }
        std::printf("%s product:\n", product == PRODUCT_SERVER ? "server-sized" : "large");
        std::fflush(stdout);
        char command[512];
        std::snprintf(command, sizeof(command), "/proc/%ld/exe --peak-memory-load %s %zu",
                      static_cast<long>(getpid()), path, inflated);
        failed |= std::system(command);
        std::remove(path);
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--peak-memory") == 0)
        return MeasurePeakMemory();
    if (argc == 4 && std::strcmp(argv[1], "--peak-memory-load") == 0)
        return LoadAndReportPeak(argv[2], std::strtoul(argv[3], nullptr, 10));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
