#include "http/fetch.h"
#include "http/fetch_internal.h"

#include <string.h>

#include "lookup/unique_any.h"

DWORD FetchTimeoutMs = 30000;
DWORD FetchDeadlineMs = 30000;
int32_t FailingRootOpens = 0;

// How a fetch keeps its deadline. WinINet in synchronous mode cannot be
// interrupted: a handle closed from another thread does not end a blocked
// call, and each byte that arrives starts the receive time-out again. So the
// whole exchange runs on a worker thread of its own, the only thread that
// ever touches its connection and request handles, while the calling thread
// waits for it up to the time left. At the deadline the caller copies the
// bytes received so far and leaves; the abandoned worker finishes on its own
// when its blocked call returns and frees what it holds. A worker therefore
// allocates from the heap directly, never from the memory service (which
// belongs to the calling thread), and touches no process-wide object that
// the end of the process tears down.

namespace {

void CloseInternetHandle(HINTERNET handle) { InternetCloseHandle(handle); }
void CloseKernelHandle(HANDLE handle) { CloseHandle(handle); }
void FreeHeapBlock(void *block) { HeapFree(GetProcessHeap(), 0, block); }

using UniqueHinternet = UniqueAny<HINTERNET, CloseInternetHandle>;
using UniqueHandle = UniqueAny<HANDLE, CloseKernelHandle>;
using UniqueHeapBlock = UniqueAny<void *, FreeHeapBlock>;

// Workers that have not yet closed their handles. Plain data, so that a
// worker still running while the process ends never meets a destroyed
// object.
volatile LONG LiveFetchWorkers = 0;

bool FetchWorkersAlive() { return InterlockedCompareExchange(&LiveFetchWorkers, 0, 0) != 0; }

// The process-wide root handle of the internet client: opened by the first
// fetch that needs it, shared by all later fetches, closed at normal exit.
// While an abandoned worker may still use it, it is left to the end of the
// process instead.
struct HttpClient {
    UniqueHinternet root;
    ~HttpClient()
    {
        if (FetchWorkersAlive())
            root.release();
    }
};
HttpClient TheHttpClient;

const char AgentString[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
const char AcceptEntry[] = "Accept: */* \r\n";
const char ExtraHeaders[] = "Accept: */*\r\n\r\n";
const DWORD ExtraHeadersLength = sizeof ExtraHeaders - 1;
// Redirects are followed here, not by the platform, so that they count
// against the limit and the deadline.
const DWORD HttpRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;

// Service numbers by scheme: the platform's for the schemes it has one for,
// this program's own from 4096 up for the others. Only http and https lead
// to a request.
const DWORD OtherSchemeService = 4096;
const DWORD FileService = 4097;
const DWORD MailtoService = 4098;
const DWORD NewsService = 4102;
const DWORD HttpsService = 4107;

const DWORD CanonicalUrlSize = 2084;
const DWORD ContentLengthSize = 32;
const int32_t DefaultChunkSize = 10240;
const int32_t LargestChunkSize = 102400;
// A declared length reserves the body's room up front, up to the limit.
const int32_t SmallestBodyRoom = 64 << 10;

DWORD ServiceForScheme(INTERNET_SCHEME scheme)
{
    switch (scheme) {
    case INTERNET_SCHEME_FTP: return INTERNET_SERVICE_FTP;
    case INTERNET_SCHEME_GOPHER: return INTERNET_SERVICE_GOPHER;
    case INTERNET_SCHEME_HTTP: return INTERNET_SERVICE_HTTP;
    case INTERNET_SCHEME_HTTPS: return HttpsService;
    case INTERNET_SCHEME_FILE: return FileService;
    case INTERNET_SCHEME_NEWS: return NewsService;
    case INTERNET_SCHEME_MAILTO: return MailtoService;
    default: return OtherSchemeService;
    }
}

// The declared length as a 32-bit number (saturated), or 0 when the text
// has no digits.
int32_t ReadDeclaredLength(const char *text)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (value <= INT32_MAX)
            value = value * 10 + (*p - '0');
    if (value > INT32_MAX)
        value = INT32_MAX;
    return static_cast<int32_t>(negative ? -value : value);
}

bool OpenRoot()
{
    if (TheHttpClient.root)
        return true;
    if (FailingRootOpens > 0) {
        --FailingRootOpens;
        return false;
    }
    TheHttpClient.root.reset(InternetOpenA(AgentString, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    return static_cast<bool>(TheHttpClient.root);
}

// One fetch, shared by the calling thread and its worker; whichever of the
// two lets go last frees it. Everything but the body and the flag is
// written before the worker starts and only read afterwards.
struct FetchJob {
    volatile LONG references;
    volatile LONG cancelled;  // the caller has left; the worker stops
    HINTERNET root;
    DWORD timeoutMs;
    UrlParts first;           // the URL as the caller split it
    char *url;                // the URL of the current hop
    CRITICAL_SECTION lock;    // guards the body
    char *body;
    int32_t count;
    int32_t room;
};

void DropJob(FetchJob *job)
{
    if (InterlockedDecrement(&job->references) != 0)
        return;
    DeleteCriticalSection(&job->lock);
    FreeHeapBlock(job->body);
    FreeHeapBlock(job->url);
    FreeHeapBlock(job);
}
using JobReference = UniqueAny<FetchJob *, DropJob>;

char *CopyToHeap(const char *text)
{
    size_t n = strlen(text) + 1;
    char *copy = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, n));
    if (copy)
        memcpy(copy, text, n);
    return copy;
}

bool Cancelled(FetchJob *job) { return InterlockedCompareExchange(&job->cancelled, 0, 0) != 0; }

// Appends what one read delivered; false when there is no room to be had.
bool AppendToBody(FetchJob *job, const char *bytes, int32_t n, int32_t declared)
{
    EnterCriticalSection(&job->lock);
    bool fits = n <= job->room - job->count;
    if (!fits) {
        int64_t needed = static_cast<int64_t>(job->count) + n;
        int64_t room;
        if (job->room == 0 && declared > 0)
            room = declared;
        else
            room = job->room < SmallestBodyRoom / 2 ? SmallestBodyRoom : 2 * static_cast<int64_t>(job->room);
        if (room < needed)
            room = needed;
        if (room > FetchBodyLimit)
            room = FetchBodyLimit;
        HANDLE heap = GetProcessHeap();
        void *grown = job->body ? HeapReAlloc(heap, 0, job->body, static_cast<SIZE_T>(room))
                                : HeapAlloc(heap, 0, static_cast<SIZE_T>(room));
        if (grown) {
            job->body = static_cast<char *>(grown);
            job->room = static_cast<int32_t>(room);
            fits = true;
        }
    }
    if (fits) {
        memcpy(job->body + job->count, bytes, n);
        job->count += n;
    }
    LeaveCriticalSection(&job->lock);
    return fits;
}

// Reads the reply's body into the job, up to the limit. Each read takes only
// what has arrived, so that every byte reaches the body as soon as it is
// there and the caller, at its deadline, finds all of them.
void ReadBody(FetchJob *job, HINTERNET request)
{
    char lengthText[ContentLengthSize + 1];
    DWORD lengthSize = ContentLengthSize;
    const char *declared = nullptr;
    if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
        lengthText[lengthSize < ContentLengthSize ? lengthSize : ContentLengthSize] = '\0';
        declared = lengthText;
    }
    int32_t chunkSize = ChunkSizeFor(declared);
    int32_t declaredLength = declared ? ReadDeclaredLength(declared) : 0;
    UniqueHeapBlock chunk(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(chunkSize)));
    if (!chunk)
        return;
    int32_t received = 0;
    while (received < FetchBodyLimit && !Cancelled(job)) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0) || available == 0)
            break;
        DWORD ask = available;
        if (ask > static_cast<DWORD>(chunkSize))
            ask = static_cast<DWORD>(chunkSize);
        if (ask > static_cast<DWORD>(FetchBodyLimit - received))
            ask = static_cast<DWORD>(FetchBodyLimit - received);
        DWORD n = 0;
        BOOL read = InternetReadFile(request, chunk.get(), ask, &n);
        // A read that fails part way may still have delivered bytes: they
        // arrived, so they belong to the body.
        if (n > 0 && n <= ask) {
            if (!AppendToBody(job, static_cast<char *>(chunk.get()), static_cast<int32_t>(n), declaredLength))
                break;
            received += static_cast<int32_t>(n);
        }
        if (!read || n == 0)
            break;
    }
}

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The value of the reply's Location header, in a heap block; null when
// there is none.
char *QueryLocation(HINTERNET request)
{
    DWORD size = 0;
    HttpQueryInfoA(request, HTTP_QUERY_LOCATION, nullptr, &size, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return nullptr;
    UniqueHeapBlock location(HeapAlloc(GetProcessHeap(), 0, size + 1));
    if (!location)
        return nullptr;
    char *text = static_cast<char *>(location.get());
    DWORD got = size;
    if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, text, &got, nullptr) || got == 0)
        return nullptr;
    text[got < size ? got : size] = '\0';
    return static_cast<char *>(location.release());
}

// `location` resolved against `base`, in a heap block; null when the
// platform cannot.
char *ResolveLocation(const char *base, const char *location)
{
    DWORD size = static_cast<DWORD>(strlen(base) + strlen(location) + 2);
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueHeapBlock combined(HeapAlloc(GetProcessHeap(), 0, size + 1));
        if (!combined)
            return nullptr;
        char *text = static_cast<char *>(combined.get());
        DWORD got = size;
        if (InternetCombineUrlA(base, location, text, &got, ICU_NO_ENCODE)) {
            text[got < size ? got : size] = '\0';
            return static_cast<char *>(combined.release());
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || got <= size)
            return nullptr;
        size = got;
    }
    return nullptr;
}

// One request of a fetch: what the reply asks of the fetch next.
enum class HopEnd { Done, Redirected };

// Sends the GET for `parts` and reads its reply into the job, unless the
// reply redirects and `mayRedirect`: then the job's URL becomes the
// resolved Location and the body stays empty.
HopEnd RunHop(FetchJob *job, UrlParts *parts, bool mayRedirect)
{
    DWORD flags = HttpRequestFlags;
    DWORD service = parts->service;
    if (service == HttpsService) {
        service = INTERNET_SERVICE_HTTP;
        flags |= INTERNET_FLAG_SECURE;
    }
    UniqueHinternet connection(InternetConnectA(job->root, parts->host, parts->port, parts->userName,
                                                parts->password, service, 0, 0));
    if (!connection)
        return HopEnd::Done;
    INTERNET_PROXY_INFO preconfigured = {INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr};
    InternetSetOptionA(job->root, INTERNET_OPTION_PROXY, &preconfigured, sizeof preconfigured);
    char empty[] = "";
    InternetSetOptionA(connection.get(), INTERNET_OPTION_PROXY_USERNAME, empty, 1);
    InternetSetOptionA(connection.get(), INTERNET_OPTION_PROXY_PASSWORD, empty, 1);
    DWORD timeout = job->timeoutMs;
    InternetSetOptionA(connection.get(), INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(connection.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);

    int32_t fragment = FindText(parts->object, "#");
    if (fragment > 0)
        parts->object[fragment - 1] = '\0';
    const char *acceptTypes[] = {AcceptEntry, nullptr};
    UniqueHinternet request(HttpOpenRequestA(connection.get(), "GET", parts->object, "HTTP/1.0", nullptr,
                                             acceptTypes, flags, 0));
    if (!request)
        return HopEnd::Done;
    if (!HttpSendRequestA(request.get(), ExtraHeaders, ExtraHeadersLength, nullptr, 0))
        return HopEnd::Done;

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (mayRedirect &&
        HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                       nullptr) &&
        IsRedirect(status)) {
        UniqueHeapBlock location(QueryLocation(request.get()));
        UniqueHeapBlock target(location ? ResolveLocation(job->url, static_cast<char *>(location.get()))
                                        : nullptr);
        UrlParts next;
        if (target && SplitUrl(static_cast<char *>(target.get()), &next) &&
            (next.service == INTERNET_SERVICE_HTTP || next.service == HttpsService)) {
            FreeHeapBlock(job->url);
            job->url = static_cast<char *>(target.release());
            *parts = next;
            return HopEnd::Redirected;
        }
    }
    ReadBody(job, request.get());
    // The request handle is closed before the connection handle: the
    // owners go in the reverse order of their making.
    return HopEnd::Done;
}

// The worker: the whole exchange, redirects included, then its share of the
// job goes.
DWORD WINAPI RunFetch(void *parameter)
{
    JobReference job(static_cast<FetchJob *>(parameter));
    UrlParts parts = job.get()->first;
    for (int32_t redirects = 0; !Cancelled(job.get()); ++redirects) {
        if (RunHop(job.get(), &parts, redirects < FetchRedirectLimit) == HopEnd::Done)
            break;
    }
    InterlockedDecrement(&LiveFetchWorkers);
    return 0;
}

FetchJob *NewJob(const char *url, const UrlParts &parts)
{
    FetchJob *job = static_cast<FetchJob *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FetchJob)));
    if (!job)
        return nullptr;
    job->url = CopyToHeap(url);
    if (!job->url) {
        FreeHeapBlock(job);
        return nullptr;
    }
    job->references = 1;
    job->root = TheHttpClient.root.get();
    job->timeoutMs = FetchTimeoutMs;
    job->first = parts;
    InitializeCriticalSection(&job->lock);
    return job;
}

// Starts the worker with a share of the job; an empty owner when no thread
// could be had.
UniqueHandle StartWorker(FetchJob *job)
{
    InterlockedIncrement(&job->references);
    InterlockedIncrement(&LiveFetchWorkers);
    UniqueHandle thread(CreateThread(nullptr, 0, RunFetch, job, 0, nullptr));
    if (!thread) {
        InterlockedDecrement(&LiveFetchWorkers);
        InterlockedDecrement(&job->references);
    }
    return thread;
}

} // namespace

void ResetHttpClient()
{
    // A worker still running may use the root handle: it is left open then,
    // for the end of the process to close.
    if (FetchWorkersAlive())
        TheHttpClient.root.release();
    TheHttpClient.root.reset();
}

bool HttpClientIsOpen() { return static_cast<bool>(TheHttpClient.root); }

HINTERNET HttpClientRoot() { return TheHttpClient.root.get(); }

int32_t ChunkSizeFor(const char *contentLength)
{
    if (!contentLength)
        return DefaultChunkSize;
    int32_t declared = ReadDeclaredLength(contentLength);
    if (declared <= 0)
        return DefaultChunkSize;
    if (declared >= LargestChunkSize)  // declared + 1 would exceed the largest
        return LargestChunkSize;
    return declared + 1;
}

bool SplitUrl(const char *url, UrlParts *parts)
{
    // One byte beyond what the platform is told of, for our own terminator:
    // the canonicaliser does not always write one. The larger buffer comes
    // from the heap directly, as a worker splits the URLs it is redirected
    // to.
    char canonical[CanonicalUrlSize + 1];
    DWORD size = CanonicalUrlSize;
    UniqueHeapBlock larger;
    char *text = canonical;
    if (!InternetCanonicalizeUrlA(url, canonical, &size, ICU_NO_ENCODE)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size >= INT32_MAX - 1)
            return false;
        DWORD needed = size;
        larger.reset(HeapAlloc(GetProcessHeap(), 0, needed + 1));
        if (!larger)
            return false;
        text = static_cast<char *>(larger.get());
        size = needed;
        if (!InternetCanonicalizeUrlA(url, text, &size, ICU_NO_ENCODE))
            return false;
        text[size < needed ? size : needed] = '\0';
    } else {
        text[size < CanonicalUrlSize ? size : CanonicalUrlSize] = '\0';
    }

    URL_COMPONENTSA components = {};
    components.dwStructSize = sizeof components;
    components.lpszHostName = parts->host;
    components.dwHostNameLength = sizeof parts->host;
    components.lpszUrlPath = parts->object;
    components.dwUrlPathLength = sizeof parts->object;
    components.lpszUserName = parts->userName;
    components.dwUserNameLength = sizeof parts->userName;
    components.lpszPassword = parts->password;
    components.dwPasswordLength = sizeof parts->password;
    parts->host[0] = parts->object[0] = parts->userName[0] = parts->password[0] = '\0';
    if (!InternetCrackUrlA(text, 0, 0, &components))
        return false;
    parts->port = components.nPort;
    parts->service = ServiceForScheme(components.nScheme);
    return true;
}

ByteBuffer FetchUrl(const char *url)
{
    DWORD start = GetTickCount();
    if (!url || url[0] == '\0')
        return nullptr;
    UrlParts parts;
    if (!SplitUrl(url, &parts))
        return nullptr;
    if (!OpenRoot())
        return nullptr;

    JobReference job(NewJob(url, parts));
    if (!job)
        return nullptr;
    UniqueHandle worker = StartWorker(job.get());
    if (!worker)
        return nullptr;
    DWORD elapsed = GetTickCount() - start;
    DWORD left = elapsed < FetchDeadlineMs ? FetchDeadlineMs - elapsed : 0;
    if (WaitForSingleObject(worker.get(), left) != WAIT_OBJECT_0)
        InterlockedExchange(&job.get()->cancelled, 1);
    // At the deadline these are the bytes received so far, as if the server
    // had stopped there; the worker may still be adding to its own copy.
    EnterCriticalSection(&job.get()->lock);
    ByteBuffer body = BufferFromBytes(job.get()->body, job.get()->count);
    LeaveCriticalSection(&job.get()->lock);
    return body;
}
