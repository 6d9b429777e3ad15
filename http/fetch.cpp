#include "http/fetch.h"
#include "http/fetch_internal.h"

#include <stdio.h>
#include <string.h>

DWORD FetchTimeoutMs = 30000;
DWORD FetchDeadlineMs = 30000;
int32_t FailingRootOpens = 0;

namespace {

// The process-wide root handle of the internet client: opened by the first
// fetch that needs it, shared by all later fetches, closed at normal exit.
struct HttpClient {
    HINTERNET root = nullptr;
    ~HttpClient()
    {
        if (root)
            InternetCloseHandle(root);
    }
};
HttpClient TheHttpClient;

const char AgentString[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
const char AcceptEntry[] = "Accept: */* \r\n";
const char ExtraHeaders[] = "Accept: */*\r\n\r\n";
const DWORD ExtraHeadersLength = 15;
const DWORD HttpRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
const DWORD HttpsService = 4107;
const DWORD CanonicalUrlSize = 2084;
const DWORD ContentLengthSize = 32;
const int32_t DefaultChunkSize = 10240;
const int32_t LargestChunkSize = 102400;
// A declared length reserves the body's room up front, but no more than
// this, so a header that lies cannot take much memory.
const int32_t LargestReservation = 64 << 20;
const int32_t SmallestBodyRoom = 64 << 10;
const int32_t BufferHeadSize = static_cast<int32_t>(sizeof(ByteBufferHead));
const int32_t LargestBodyRoom = INT32_MAX - BufferHeadSize;

// Closes a WinINet handle once, when the holder goes.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle()
    {
        if (handle_)
            InternetCloseHandle(handle_);
    }
    InternetHandle(const InternetHandle &) = delete;
    InternetHandle &operator=(const InternetHandle &) = delete;
    HINTERNET Get() const { return handle_; }

private:
    HINTERNET handle_;
};

// A block from the memory service, released once when the holder goes.
class OwnedBlock {
public:
    explicit OwnedBlock(void *block = nullptr) : block_(block) {}
    ~OwnedBlock() { ReleaseBlock(block_); }
    OwnedBlock(const OwnedBlock &) = delete;
    OwnedBlock &operator=(const OwnedBlock &) = delete;
    void *Get() const { return block_; }
    void Reset(void *block)
    {
        ReleaseBlock(block_);
        block_ = block;
    }
    void *Release()
    {
        void *block = block_;
        block_ = nullptr;
        return block;
    }

private:
    void *block_;
};

[[noreturn]] void ReportBodyTooLarge(int64_t size)
{
    char message[96];
    snprintf(message, sizeof message, "Memory allocation failed: %lld bytes were requested.",
             static_cast<long long>(size));
    ReportFatalError(message);
}

// The body as it arrives. It lives in a block laid out as a buffer (head,
// then the bytes), grown geometrically; when the reply fills it exactly,
// that block is the result and no copy is made.
class Body {
public:
    explicit Body(int32_t declaredLength) : declared_(declaredLength) {}

    void Append(const void *bytes, int32_t n)
    {
        if (n > room_ - count_)
            Grow(static_cast<int64_t>(count_) + n);
        memcpy(BufferData(static_cast<ByteBuffer>(block_.Get())) + count_, bytes, n);
        count_ += n;
    }

    ByteBuffer TakeResult()
    {
        if (count_ == 0)
            return nullptr;
        ByteBuffer full = static_cast<ByteBuffer>(block_.Get());
        if (count_ < room_)
            return BufferFromBytes(BufferData(full), count_);
        full->header = 1;
        full->count = count_;
        return static_cast<ByteBuffer>(block_.Release());
    }

private:
    void Grow(int64_t needed)
    {
        if (needed > LargestBodyRoom)
            ReportBodyTooLarge(needed + BufferHeadSize);
        int64_t room;
        if (room_ == 0 && declared_ > 0)
            room = declared_ < LargestReservation ? declared_ : LargestReservation;
        else
            room = room_ < SmallestBodyRoom / 2 ? SmallestBodyRoom : 2 * static_cast<int64_t>(room_);
        // A reply that keeps its declared length ends exactly full.
        if (declared_ >= needed && declared_ < room)
            room = declared_;
        if (room < needed)
            room = needed;
        if (room > LargestBodyRoom)
            room = LargestBodyRoom;
        void *grown = AllocateBlock(static_cast<int32_t>(room) + BufferHeadSize);
        if (count_ > 0)
            memcpy(BufferData(static_cast<ByteBuffer>(grown)),
                   BufferData(static_cast<ByteBuffer>(block_.Get())), count_);
        block_.Reset(grown);
        room_ = static_cast<int32_t>(room);
    }

    int32_t declared_;
    OwnedBlock block_;
    int32_t room_ = 0;
    int32_t count_ = 0;
};

DWORD ServiceForScheme(INTERNET_SCHEME scheme)
{
    switch (scheme) {
    case INTERNET_SCHEME_FTP: return 1;
    case INTERNET_SCHEME_GOPHER: return 2;
    case INTERNET_SCHEME_HTTP: return 3;
    case INTERNET_SCHEME_HTTPS: return HttpsService;
    case INTERNET_SCHEME_FILE: return 4097;
    case INTERNET_SCHEME_NEWS: return 4102;
    case INTERNET_SCHEME_MAILTO: return 4098;
    default: return 4096;
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
    TheHttpClient.root = InternetOpenA(AgentString, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    return TheHttpClient.root != nullptr;
}

void SetConnectionOptions(HINTERNET connection)
{
    INTERNET_PROXY_INFO preconfigured = {INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr};
    InternetSetOptionA(TheHttpClient.root, INTERNET_OPTION_PROXY, &preconfigured, sizeof preconfigured);
    char empty[] = "";
    InternetSetOptionA(connection, INTERNET_OPTION_PROXY_USERNAME, empty, 1);
    InternetSetOptionA(connection, INTERNET_OPTION_PROXY_PASSWORD, empty, 1);
    DWORD timeout = FetchTimeoutMs;
    InternetSetOptionA(connection, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
}

// The body of the response to the request, as far as it arrives.
ByteBuffer ReadBody(HINTERNET request)
{
    char lengthText[ContentLengthSize + 1];
    DWORD lengthSize = ContentLengthSize;
    const char *declared = nullptr;
    if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
        lengthText[lengthSize < ContentLengthSize ? lengthSize : ContentLengthSize] = '\0';
        declared = lengthText;
    }
    int32_t chunkSize = ChunkSizeFor(declared);
    Body body(declared ? ReadDeclaredLength(declared) : 0);
    OwnedBlock chunk(AllocateBlock(chunkSize));
    for (;;) {
        DWORD n = 0;
        BOOL read = InternetReadFile(request, chunk.Get(), static_cast<DWORD>(chunkSize), &n);
        // A read that fails part way (a time-out, say) may still have
        // delivered bytes: they arrived, so they belong to the body.
        if (n > 0 && n <= static_cast<DWORD>(chunkSize))
            body.Append(chunk.Get(), static_cast<int32_t>(n));
        if (!read || n == 0)
            break;
    }
    return body.TakeResult();
}

} // namespace

void ResetHttpClient()
{
    if (TheHttpClient.root)
        InternetCloseHandle(TheHttpClient.root);
    TheHttpClient.root = nullptr;
}

bool HttpClientIsOpen() { return TheHttpClient.root != nullptr; }

HINTERNET HttpClientRoot() { return TheHttpClient.root; }

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
    // the canonicaliser does not always write one.
    char canonical[CanonicalUrlSize + 1];
    DWORD size = CanonicalUrlSize;
    OwnedBlock larger;
    char *text = canonical;
    if (!InternetCanonicalizeUrlA(url, canonical, &size, ICU_NO_ENCODE)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size >= INT32_MAX - 1)
            return false;
        DWORD needed = size;
        larger.Reset(AllocateBlock(static_cast<int32_t>(needed) + 1));
        text = static_cast<char *>(larger.Get());
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
    if (!url || url[0] == '\0')
        return nullptr;
    UrlParts parts;
    if (!SplitUrl(url, &parts))
        return nullptr;
    DWORD flags = HttpRequestFlags;
    if (parts.service == HttpsService) {
        parts.service = INTERNET_SERVICE_HTTP;
        flags |= INTERNET_FLAG_SECURE;
    }
    if (!OpenRoot())
        return nullptr;

    InternetHandle connection(InternetConnectA(TheHttpClient.root, parts.host, parts.port, parts.userName,
                                               parts.password, parts.service, 0, 0));
    if (!connection.Get())
        return nullptr;
    SetConnectionOptions(connection.Get());

    int32_t fragment = FindText(parts.object, "#");
    if (fragment > 0)
        parts.object[fragment - 1] = '\0';
    const char *acceptTypes[] = {AcceptEntry, nullptr};
    InternetHandle request(HttpOpenRequestA(connection.Get(), "GET", parts.object, "HTTP/1.0", nullptr,
                                            acceptTypes, flags, 0));
    if (!request.Get())
        return nullptr;
    if (!HttpSendRequestA(request.Get(), ExtraHeaders, ExtraHeadersLength, nullptr, 0))
        return nullptr;
    // The request handle is closed before the connection handle: the
    // holders go in the reverse order of their making.
    return ReadBody(request.Get());
}
