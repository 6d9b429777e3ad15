// Benchmark of the lookup path: run by scripts/bench, which takes medians
// over several runs. Each figure is printed as one "key value" line.
//
//     channel_bench throughput   fetch_mib_s raw_mib_s fetch_vs_raw
//     channel_bench lookup       lookup_cpu_ms lookup_overhead_ms ...
//     channel_bench memory       peak_mem_ratio ...
//     channel_bench startup      startup_ms minimal_startup_ms startup_vs_minimal
//     channel_bench serve        the directory server (started by the others)
//
// The server runs in a child process so that its threads, its copies of the
// replies and its processor time stay out of the figures.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "http/fetch.h"
#include "lookup/literals.h"
#include "lookup/lookup.h"
#include "lookup/values.h"
#include "tests/support/directory_port.h"
#include "tests/support/loopback_server.h"
#include "tests/support/process.h"

namespace {

const int32_t BigSize = 64 << 20;
const double Mib = 1024.0 * 1024.0;
// DirectoryPort() is the bench program's own (see bench/CMakeLists.txt),
// so that it never meets a test's server.

// A reply of exactly `size` bytes whose name is "big".
std::string BigReply(int32_t size)
{
    std::string head = "{\"id\":1,\"name\":\"big\",\"pad\":\"";
    std::string tail = "\"}";
    std::string body = head;
    body.append(size - head.size() - tail.size(), 'x');
    body += tail;
    return body;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void PrintFigure(const char *key, double value) { printf("%s %.3f\n", key, value); }

// ---------------------------------------------------------------- the server

int Serve()
{
    LoopbackServer server(DirectoryPort());
    if (!server.Port())
        return 1;
    server.SetReplyFor("/channel/small", OkReply("{\"id\":7,\"name\":\"abc\",\"x\":1}"));
    server.SetReplyFor("/bench/big", OkReply(BigReply(BigSize)));
    server.SetReplyFor("/channel/big", OkReply(BigReply(BigSize)));
    // Last: the parent takes an answer to the ping for "ready".
    server.SetReplyFor("/bench/ping", OkReply(std::to_string(GetCurrentProcessId())));
    // Ended by the parent.
    Sleep(INFINITE);
    return 0;
}

// Reads the whole response to a GET of `target` with plain Winsock calls
// into `into` (large enough); the number of bytes read, head included, or
// -1 when the server cannot be reached. Each read asks for as many bytes as
// each read of FetchUrl does for a large body.
int64_t RawGet(const std::string &target, char *into, int64_t capacity, char *chunkBuffer = nullptr)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(DirectoryPort());
    int64_t total = -1;
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        send(s, request.data(), static_cast<int>(request.size()), 0);
        total = 0;
        for (;;) {
            int chunk = static_cast<int>(std::min<int64_t>(capacity - total, 102400));
            if (chunk <= 0)
                break;
            int n = recv(s, chunkBuffer ? chunkBuffer : into + total, chunk, 0);
            if (n <= 0)
                break;
            if (chunkBuffer)
                memcpy(into + total, chunkBuffer, n);
            total += n;
        }
    }
    closesocket(s);
    return total;
}

// A plain read of the big body, timed, in MiB/s; 0 when it came short.
// `into` is null for a fresh block from the process heap, which is what
// any reader that keeps the body has to fill: under Wine the first touch
// of 64 MiB costs about as much as the transfer itself. `throughChunk`
// reads into one small reused buffer and copies on, as FetchUrl does; under
// Wine that is faster than receiving straight into fresh pages.
double RawMibS(char *into, bool throughChunk = false)
{
    static char chunk[102400];
    const int64_t capacity = BigSize + 4096;
    HANDLE heap = GetProcessHeap();
    LARGE_INTEGER t0 = Now();
    char *block = into ? into : static_cast<char *>(HeapAlloc(heap, 0, capacity));
    int64_t n = block ? RawGet("/bench/big", block, capacity, throughChunk ? chunk : nullptr) : -1;
    LARGE_INTEGER t1 = Now();
    if (block != into)
        HeapFree(heap, 0, block);
    if (n < BigSize) {
        fprintf(stderr, "bench: the plain read gave %lld bytes\n", static_cast<long long>(n));
        return 0;
    }
    return BigSize / Mib / Seconds(t0, t1);
}

struct ServerChild {
    ChildProcess child;
    ~ServerChild() { KillChild(child); }
};

// Starts the server child and waits until it, and not some other program,
// answers on the directory port.
bool StartServer(ServerChild *server)
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (!StartChild(exe, L"serve", &server->child))
        return false;
    std::string pid = std::to_string(server->child.id);
    char reply[512];
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 120000) {
        if (WaitForSingleObject(server->child.process.get(), 0) == WAIT_OBJECT_0)
            return false;
        int64_t n = RawGet("/bench/ping", reply, sizeof reply - 1);
        if (n > 0) {
            reply[n] = '\0';
            const char *body = strstr(reply, "\r\n\r\n");
            if (body && pid == body + 4)
                return true;
        }
        Sleep(100);
    }
    return false;
}

// ---------------------------------------------------------------- figures

int Throughput()
{
    const int rounds = 3;
    std::vector<char> touched(BigSize + 4096, 1);
    std::vector<double> fetchMibS, rawMibS, touchedMibS;
    std::string url = "http://127.0.0.1:" + std::to_string(DirectoryPort()) + "/bench/big";
    for (int i = 0; i < rounds; ++i) {
        // The best plain read that keeps the body, and the socket alone.
        double direct = RawMibS(nullptr);
        double throughChunk = RawMibS(nullptr, true);
        double rawTouched = RawMibS(touched.data());
        if (direct == 0 || throughChunk == 0 || rawTouched == 0)
            return 1;
        rawMibS.push_back(std::max(direct, throughChunk));
        touchedMibS.push_back(rawTouched);

        LARGE_INTEGER t0 = Now();
        ByteBuffer body = FetchUrl(url.c_str());
        LARGE_INTEGER t1 = Now();
        int32_t got = BufferLength(body);
        ReleaseBlock(body);
        if (got != BigSize) {
            fprintf(stderr, "bench: FetchUrl gave %ld bytes, not %ld\n", static_cast<long>(got),
                    static_cast<long>(BigSize));
            return 1;
        }
        fetchMibS.push_back(BigSize / Mib / Seconds(t0, t1));
    }
    double fetch = Median(fetchMibS), plain = Median(rawMibS);
    PrintFigure("fetch_mib_s", fetch);
    PrintFigure("raw_mib_s", plain);
    PrintFigure("fetch_vs_raw", fetch / plain);
    // The socket alone, into memory touched beforehand: the ceiling.
    PrintFigure("raw_touched_mib_s", Median(touchedMibS));
    return 0;
}

int Lookup()
{
    const int lookups = 5;
    // The first lookup of a process also opens the internet client.
    LARGE_INTEGER t0 = Now();
    ReleaseBlock(LookUpChannel("small"));
    double first = Seconds(t0, Now()) * 1000.0 - LookupPauseMs;

    double cpuBefore = ProcessCpuMs();
    t0 = Now();
    for (int i = 0; i < lookups; ++i) {
        TextValue result = LookUpChannel("small");
        bool right = strcmp(result, "smallabc") == 0;
        ReleaseBlock(result);
        if (!right) {
            fprintf(stderr, "bench: the lookup did not find the name\n");
            return 1;
        }
    }
    double wallMs = Seconds(t0, Now()) * 1000.0;
    double cpuMs = ProcessCpuMs() - cpuBefore;
    PrintFigure("lookup_cpu_ms", cpuMs / lookups);
    PrintFigure("lookup_overhead_ms", wallMs / lookups - LookupPauseMs);
    PrintFigure("first_lookup_overhead_ms", first);

    // Where the overhead goes: the fetch of the small reply, and how far the
    // pause runs past its 500 ms.
    std::vector<double> fetchMs, overshootMs;
    std::string url = std::string(BaseUrlText()) + "small";
    for (int i = 0; i < lookups; ++i) {
        t0 = Now();
        ReleaseBlock(FetchUrl(url.c_str()));
        fetchMs.push_back(Seconds(t0, Now()) * 1000.0);
        t0 = Now();
        PauseWithEvents(LookupPauseMs);
        overshootMs.push_back(Seconds(t0, Now()) * 1000.0 - LookupPauseMs);
    }
    PrintFigure("small_fetch_ms", Median(fetchMs));
    PrintFigure("pause_overshoot_ms", Median(overshootMs));
    return 0;
}

struct MemorySample {
    volatile LONG stop = 0;
    SIZE_T peakPrivate = 0;
};

PROCESS_MEMORY_COUNTERS_EX MemoryCounters()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                         sizeof counters);
    return counters;
}

// Wine reports the current private usage as the peak, so the peak is also
// sampled while the lookup runs.
DWORD WINAPI SampleMemory(void *parameter)
{
    MemorySample *sample = static_cast<MemorySample *>(parameter);
    while (!InterlockedCompareExchange(&sample->stop, 0, 0)) {
        PROCESS_MEMORY_COUNTERS_EX counters = MemoryCounters();
        sample->peakPrivate = std::max({sample->peakPrivate, counters.PrivateUsage,
                                        counters.PeakPagefileUsage});
        Sleep(1);
    }
    return 0;
}

int Memory()
{
    // Warm up the internet client on a small reply first.
    ReleaseBlock(LookUpChannel("small"));

    MemorySample sample;
    PROCESS_MEMORY_COUNTERS_EX before = MemoryCounters();
    UniqueHandle sampler(CreateThread(nullptr, 0, SampleMemory, &sample, 0, nullptr));
    if (!sampler.get())
        return 1;
    TextValue result = LookUpChannel("big");
    PROCESS_MEMORY_COUNTERS_EX after = MemoryCounters();
    InterlockedExchange(&sample.stop, 1);
    WaitForSingleObject(sampler.get(), INFINITE);
    bool right = result && strcmp(result, "bigbig") == 0;
    ReleaseBlock(result);
    if (!right) {
        fprintf(stderr, "bench: the big lookup did not find the name\n");
        return 1;
    }
    SIZE_T peak = std::max({sample.peakPrivate, after.PeakPagefileUsage, after.PrivateUsage});
    PrintFigure("peak_mem_ratio", (static_cast<double>(peak) - before.PrivateUsage) / BigSize);
    // The kernel's high-water mark of resident memory, as a cross-check.
    PrintFigure("peak_ws_ratio",
                (static_cast<double>(after.PeakWorkingSetSize) - before.WorkingSetSize) / BigSize);
    return 0;
}

// ---------------------------------------------------------------- start-up

// Milliseconds from just before the process is created until one of its
// top-level windows is visible; then closes that window as the close box
// would and waits for a clean exit. Negative when any of that fails.
double StartupMs(const std::wstring &exe)
{
    ChildProcess child;
    LARGE_INTEGER t0 = Now();
    if (!StartChild(exe, L"", &child)) {
        fprintf(stderr, "bench: cannot start %ls\n", exe.c_str());
        return -1;
    }
    std::vector<HWND> windows;
    // Sleeping between polls leaves the processor to the starting program;
    // a poll costs far less than the 1 ms it may overshoot by.
    while ((windows = TopLevelWindowsOf(child.id)).empty()) {
        if (WaitForSingleObject(child.process.get(), 1) == WAIT_OBJECT_0 || Seconds(t0, Now()) > 60) {
            fprintf(stderr, "bench: %ls showed no window\n", exe.c_str());
            KillChild(child);
            return -1;
        }
    }
    double ms = Seconds(t0, Now()) * 1000.0;
    for (HWND window : windows)
        PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = WaitForExit(child, 30000);
    if (code != 0) {
        fprintf(stderr, "bench: %ls did not close cleanly (exit code %lu)\n", exe.c_str(),
                static_cast<unsigned long>(code));
        KillChild(child);
        return -1;
    }
    return ms;
}

int Startup()
{
    const int rounds = 9;
    std::wstring here = TestProgramDirectory() + L"\\";
    std::wstring program = here + L"..\\bin\\channel-lookup.exe";
    std::wstring minimal = here + L"minimal_window.exe";
    // The first start of each loads its files into the cache; it is not
    // counted.
    if (StartupMs(program) < 0 || StartupMs(minimal) < 0)
        return 1;
    // Interleaved, and in turn first, so that a slow patch of the machine
    // falls on both alike.
    std::vector<double> programMs, minimalMs;
    for (int i = 0; i < rounds; ++i) {
        double a, b;
        if (i % 2) {
            b = StartupMs(minimal);
            a = StartupMs(program);
        } else {
            a = StartupMs(program);
            b = StartupMs(minimal);
        }
        if (a < 0 || b < 0)
            return 1;
        programMs.push_back(a);
        minimalMs.push_back(b);
    }
    double program50 = Median(programMs), minimal50 = Median(minimalMs);
    PrintFigure("startup_ms", program50);
    PrintFigure("minimal_startup_ms", minimal50);
    PrintFigure("startup_vs_minimal", program50 / minimal50);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    RegisterLiteralConstants();
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve")
        return Serve();
    if (mode == "startup") {
        int rc = Startup();
        fflush(stdout);
        return rc;
    }

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    int (*measure)() = mode == "throughput" ? Throughput
                       : mode == "lookup"   ? Lookup
                       : mode == "memory"   ? Memory
                                            : nullptr;
    if (!measure) {
        fprintf(stderr, "usage: channel_bench throughput|lookup|memory|startup\n");
        return 2;
    }
    ServerChild server;
    if (!StartServer(&server)) {
        fprintf(stderr, "bench: the directory server did not start\n");
        return 1;
    }
    int rc = measure();
    fflush(stdout);
    return rc;
}
