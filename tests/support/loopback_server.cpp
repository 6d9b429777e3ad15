#include "tests/support/loopback_server.h"

#include <ws2tcpip.h>

#include <stdio.h>
#include <string.h>

#include <utility>

namespace {

// Every wait on a socket is cut into steps of this length, so a stopping
// server is noticed quickly.
const DWORD PollStepMs = 20;

// Waits up to one step for the socket to become readable (or writable);
// true when it is, false on time-out.
bool WaitForSocket(SOCKET s, bool forWriting)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval step = {0, static_cast<long>(PollStepMs * 1000)};
    int ready = forWriting ? select(0, nullptr, &set, nullptr, &step)
                           : select(0, &set, nullptr, nullptr, &step);
    return ready > 0;
}

std::string StatusText(int status)
{
    switch (status) {
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    default: return "Redirect";
    }
}

// The largest piece handed to one send.
const size_t SendStep = 65536;

uint64_t SplitMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

} // namespace

ReplySegment LiteralSegment(std::string bytes, DWORD byteIntervalMs)
{
    ReplySegment segment;
    segment.bytes = std::move(bytes);
    segment.byteIntervalMs = byteIntervalMs;
    return segment;
}

ReplySegment GeneratedSegment(uint64_t size, ByteSource source)
{
    ReplySegment segment;
    segment.size = size;
    segment.source = std::move(source);
    return segment;
}

ReplySegment FillerSegment(uint64_t size, char byte)
{
    return GeneratedSegment(size, [byte](uint64_t, char *out, size_t n) { memset(out, byte, n); });
}

uint8_t SeededByte(uint32_t seed, uint64_t offset)
{
    uint64_t word = SplitMix((static_cast<uint64_t>(seed) << 40) ^ (offset >> 3));
    return static_cast<uint8_t>(word >> (8 * (offset & 7)));
}

ReplySegment SeededSegment(uint64_t size, uint32_t seed)
{
    return GeneratedSegment(size, [seed](uint64_t offset, char *out, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<char>(SeededByte(seed, offset + i));
    });
}

LoopbackReply HttpReply(const std::string &statusLine, const std::string &headerLines,
                        const std::string &body)
{
    LoopbackReply reply;
    reply.head = statusLine + "\r\n" + headerLines + "\r\n";
    reply.body = body;
    return reply;
}

LoopbackReply OkReply(const std::string &body)
{
    return ReplyDeclaring(static_cast<int64_t>(body.size()), body);
}

LoopbackReply ReplyWithoutLength(const std::string &body)
{
    return HttpReply("HTTP/1.0 200 OK", "Content-Type: application/octet-stream\r\n", body);
}

LoopbackReply ReplyDeclaring(int64_t declaredLength, const std::string &body)
{
    return HttpReply("HTTP/1.0 200 OK",
                     "Content-Type: application/octet-stream\r\nContent-Length: " +
                         std::to_string(declaredLength) + "\r\n",
                     body);
}

LoopbackReply ChunkedReply(const std::string &body, size_t pieceSize)
{
    std::string framed;
    for (size_t at = 0; at < body.size(); at += pieceSize) {
        size_t n = body.size() - at < pieceSize ? body.size() - at : pieceSize;
        char size[20];
        snprintf(size, sizeof size, "%zx\r\n", n);
        framed += size;
        framed.append(body, at, n);
        framed += "\r\n";
    }
    framed += "0\r\n\r\n";
    return HttpReply("HTTP/1.1 200 OK",
                     "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n"
                     "Connection: close\r\n",
                     framed);
}

LoopbackReply RedirectReply(const std::string &location, int status)
{
    return HttpReply("HTTP/1.0 " + std::to_string(status) + " " + StatusText(status),
                     "Location: " + location + "\r\nContent-Length: 0\r\n", "");
}

LoopbackReply SelfRedirectReply(int status)
{
    LoopbackReply reply;
    reply.redirectToSelf = status;
    return reply;
}

LoopbackReply SilentReply()
{
    LoopbackReply reply;
    reply.silent = true;
    return reply;
}

LoopbackReply DrippingReply(LoopbackReply reply, size_t from, DWORD everyMs)
{
    reply.dripFrom = from;
    reply.dripMs = everyMs;
    return reply;
}

struct LoopbackServer::Connection {
    LoopbackServer *server;
    UniqueSocket socket;
};

LoopbackServer::LoopbackServer(unsigned short port, DWORD waitForPortMs)
{
    InitializeCriticalSection(&lock_);
    InitializeConditionVariable(&changed_);
    defaultReply_ = std::make_shared<const LoopbackReply>(OkReply(""));

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return;
    winsockStarted_ = true;

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    DWORD start = GetTickCount();
    for (;;) {
        listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!listener_)
            return;
        // Lets a fixed port be taken again while connections of an earlier
        // run linger in TIME_WAIT; a live listener still keeps it.
        BOOL reuse = port != 0;
        setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&reuse),
                   sizeof reuse);
        if (bind(listener_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            listen(listener_.get(), SOMAXCONN) == 0)
            break;
        int error = WSAGetLastError();
        listener_.reset();
        // Under Wine a port held by a live listener may come back as
        // WSAEACCES rather than WSAEADDRINUSE.
        bool inUse = error == WSAEADDRINUSE || error == WSAEACCES;
        if (!inUse || GetTickCount() - start >= waitForPortMs) {
            fprintf(stderr, "loopback server: cannot listen on port %u (error %d)\n", port, error);
            return;
        }
        Sleep(200);
    }

    sockaddr_in bound = {};
    int length = sizeof bound;
    if (getsockname(listener_.get(), reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
        listener_.reset();
        return;
    }
    port_ = ntohs(bound.sin_port);
    acceptThread_.reset(CreateThread(nullptr, 0, AcceptLoop, this, 0, nullptr));
    if (!acceptThread_) {
        listener_.reset();
        port_ = 0;
    }
}

LoopbackServer::~LoopbackServer()
{
    InterlockedExchange(&stopping_, 1);
    if (acceptThread_)
        WaitForSingleObject(acceptThread_.get(), INFINITE);
    acceptThread_.reset();
    listener_.reset();
    // No new connection threads after the accept loop has ended.
    for (UniqueHandle &thread : connectionThreads_)
        WaitForSingleObject(thread.get(), INFINITE);
    connectionThreads_.clear();
    // Every socket is closed while Winsock is still up.
    if (winsockStarted_)
        WSACleanup();
    DeleteCriticalSection(&lock_);
}

std::string LoopbackServer::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::SetReply(LoopbackReply reply)
{
    auto shared = std::make_shared<const LoopbackReply>(std::move(reply));
    EnterCriticalSection(&lock_);
    defaultReply_ = shared;
    LeaveCriticalSection(&lock_);
}

void LoopbackServer::SetReplyFor(const std::string &target, LoopbackReply reply)
{
    auto shared = std::make_shared<const LoopbackReply>(std::move(reply));
    EnterCriticalSection(&lock_);
    replies_[target] = shared;
    LeaveCriticalSection(&lock_);
}

std::shared_ptr<const LoopbackReply> LoopbackServer::ReplyFor(const std::string &target) const
{
    EnterCriticalSection(&lock_);
    auto found = replies_.find(target);
    std::shared_ptr<const LoopbackReply> reply = found != replies_.end() ? found->second : defaultReply_;
    LeaveCriticalSection(&lock_);
    return reply;
}

std::vector<std::string> LoopbackServer::Requests() const
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> requests(requests_.begin() + firstRecord_, requests_.end());
    LeaveCriticalSection(&lock_);
    return requests;
}

size_t LoopbackServer::RequestCount() const
{
    EnterCriticalSection(&lock_);
    size_t count = 0;
    for (size_t i = firstRecord_; i < requestOver_.size(); ++i)
        count += requestOver_[i] ? 1 : 0;
    LeaveCriticalSection(&lock_);
    return count;
}

bool LoopbackServer::WaitForRequests(size_t count, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    EnterCriticalSection(&lock_);
    for (;;) {
        size_t over = 0;
        for (size_t i = firstRecord_; i < requestOver_.size(); ++i)
            over += requestOver_[i] ? 1 : 0;
        DWORD elapsed = GetTickCount() - start;
        if (over >= count || elapsed >= timeoutMs) {
            LeaveCriticalSection(&lock_);
            return over >= count;
        }
        SleepConditionVariableCS(&changed_, &lock_, timeoutMs - elapsed);
    }
}

void LoopbackServer::ClearRequests()
{
    EnterCriticalSection(&lock_);
    firstRecord_ = requests_.size();
    LeaveCriticalSection(&lock_);
}

bool LoopbackServer::Stopping() const { return InterlockedCompareExchange(&stopping_, 0, 0) != 0; }

bool LoopbackServer::PauseUnlessStopping(DWORD ms) const
{
    for (DWORD waited = 0; waited < ms; waited += PollStepMs) {
        if (Stopping())
            return false;
        Sleep(ms - waited < PollStepMs ? ms - waited : PollStepMs);
    }
    return !Stopping();
}

std::vector<LoopbackServer::Sent> LoopbackServer::Replies() const
{
    EnterCriticalSection(&lock_);
    std::vector<Sent> sent(sent_.begin() + firstRecord_, sent_.end());
    LeaveCriticalSection(&lock_);
    return sent;
}

bool LoopbackServer::WaitForReplies(DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    EnterCriticalSection(&lock_);
    for (;;) {
        bool allOver = true;
        for (size_t i = firstRecord_; i < sent_.size(); ++i)
            allOver = allOver && sent_[i].over;
        DWORD elapsed = GetTickCount() - start;
        if (allOver || elapsed >= timeoutMs) {
            LeaveCriticalSection(&lock_);
            return allOver;
        }
        SleepConditionVariableCS(&changed_, &lock_, timeoutMs - elapsed);
    }
}

void LoopbackServer::NoteSent(size_t index, uint64_t bytes, bool whole, bool over)
{
    EnterCriticalSection(&lock_);
    sent_[index].bytes = bytes;
    sent_[index].whole = whole;
    sent_[index].over = over;
    LeaveCriticalSection(&lock_);
    if (over)
        WakeAllConditionVariable(&changed_);
}

size_t LoopbackServer::Record(const std::string &bytes)
{
    EnterCriticalSection(&lock_);
    requests_.push_back(bytes);
    requestOver_.push_back(false);
    sent_.push_back(Sent());
    size_t index = requests_.size() - 1;
    LeaveCriticalSection(&lock_);
    WakeAllConditionVariable(&changed_);
    return index;
}

void LoopbackServer::Append(size_t index, const char *bytes, int n)
{
    EnterCriticalSection(&lock_);
    requests_[index].append(bytes, n);
    LeaveCriticalSection(&lock_);
}

void LoopbackServer::MarkRequestOver(size_t index)
{
    EnterCriticalSection(&lock_);
    requestOver_[index] = true;
    LeaveCriticalSection(&lock_);
    WakeAllConditionVariable(&changed_);
}

DWORD WINAPI LoopbackServer::AcceptLoop(void *parameter)
{
    LoopbackServer *server = static_cast<LoopbackServer *>(parameter);
    while (!server->Stopping()) {
        if (!WaitForSocket(server->listener_.get(), false))
            continue;
        UniqueSocket client(accept(server->listener_.get(), nullptr, nullptr));
        if (!client)
            continue;
        Connection *connection = new Connection{server, std::move(client)};
        UniqueHandle thread(CreateThread(nullptr, 0, Serve, connection, 0, nullptr));
        if (!thread) {
            delete connection;
            continue;
        }
        EnterCriticalSection(&server->lock_);
        server->connectionThreads_.push_back(std::move(thread));
        LeaveCriticalSection(&server->lock_);
    }
    return 0;
}

DWORD WINAPI LoopbackServer::Serve(void *parameter)
{
    Connection *connection = static_cast<Connection *>(parameter);
    connection->server->ServeConnection(connection);
    delete connection;
    return 0;
}

void LoopbackServer::ServeConnection(Connection *connection)
{
    SOCKET s = connection->socket.get();
    char buffer[65536];

    // The request: everything up to the blank line after the headers.
    std::string received;
    size_t record = 0;
    bool recorded = false;
    for (;;) {
        if (Stopping())
            return;
        if (!WaitForSocket(s, false))
            continue;
        int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (recorded) {
                NoteSent(record, 0, false, true);
                MarkRequestOver(record);
            }
            return;  // closed before the request was complete
        }
        received.append(buffer, n);
        if (!recorded) {
            record = Record(received);
            recorded = true;
        } else {
            Append(record, buffer, n);
        }
        // Something other than HTTP (a TLS handshake): recorded, dropped.
        unsigned char first = static_cast<unsigned char>(received[0]);
        if (!((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'))) {
            NoteSent(record, 0, false, true);
            MarkRequestOver(record);
            return;
        }
        if (received.find("\r\n\r\n") != std::string::npos)
            break;
    }

    size_t lineEnd = received.find("\r\n");
    std::string line = received.substr(0, lineEnd);
    size_t targetStart = line.find(' ');
    size_t targetEnd = targetStart == std::string::npos ? std::string::npos : line.find(' ', targetStart + 1);
    std::string target = targetStart == std::string::npos
        ? std::string()
        : line.substr(targetStart + 1, targetEnd == std::string::npos ? std::string::npos
                                                                       : targetEnd - targetStart - 1);
    std::shared_ptr<const LoopbackReply> shared = ReplyFor(target);
    const LoopbackReply &reply = *shared;
    MarkRequestOver(record);

    // The reply as a list of pieces; the head and body are pieces too.
    std::vector<std::pair<const ReplySegment *, DWORD>> pieces;
    ReplySegment head, body;
    if (reply.redirectToSelf) {
        int status = reply.redirectToSelf;
        head.bytes = "HTTP/1.0 " + std::to_string(status) + " " + StatusText(status) +
            "\r\nLocation: " + target + "\r\nContent-Length: 0\r\n\r\n";
    } else {
        head.bytes = reply.head;
        body.bytes = reply.body;
    }
    pieces.emplace_back(&head, reply.headByteIntervalMs);
    pieces.emplace_back(&body, reply.bodyByteIntervalMs);
    for (const ReplySegment &segment : reply.segments)
        pieces.emplace_back(&segment, segment.byteIntervalMs);
    uint64_t limit = UINT64_MAX;
    if (reply.cutAt >= 0)
        limit = static_cast<uint64_t>(reply.cutAt);
    if (reply.bodyBytesToSend >= 0 && head.bytes.size() + static_cast<uint64_t>(reply.bodyBytesToSend) < limit)
        limit = head.bytes.size() + static_cast<uint64_t>(reply.bodyBytesToSend);

    if (!PauseUnlessStopping(reply.delayMs)) {
        NoteSent(record, 0, false, true);
        return;
    }

    uint64_t sent = 0;
    bool whole = !reply.silent;
    if (!reply.silent) {
        for (const auto &piece : pieces) {
            const ReplySegment &segment = *piece.first;
            uint64_t size = segment.source ? segment.size : segment.bytes.size();
            if (size > limit - sent) {
                size = limit - sent;
                whole = false;
            }
            // The part before the reply's drip point goes at the piece's
            // own pace, the rest one byte every dripMs.
            uint64_t paced = size;
            if (reply.dripMs > 0 && sent + size > reply.dripFrom)
                paced = reply.dripFrom > sent ? reply.dripFrom - sent : 0;
            if (!PauseUnlessStopping(segment.delayMs) ||
                !SendPiece(s, record, segment, 0, paced, piece.second, false, &sent) ||
                !SendPiece(s, record, segment, paced, size - paced, reply.dripMs, true, &sent)) {
                NoteSent(record, sent, false, true);
                return;  // the client went away, or the server stops
            }
            if (sent == limit)
                break;
        }
    }
    NoteSent(record, sent, whole, true);

    if (reply.resetAtEnd) {
        // A close with lingering off and no time resets the connection.
        linger reset = {1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset), sizeof reset);
        return;
    }
    bool keepOpen = reply.silent || reply.holdOpen;

    // Whatever else the client sends is recorded, until it closes its end
    // (or, unless the connection is held open, for at most a few seconds).
    if (!keepOpen)
        shutdown(s, SD_SEND);
    DWORD start = GetTickCount();
    while (!Stopping() && (keepOpen || GetTickCount() - start < 5000)) {
        if (!WaitForSocket(s, false))
            continue;
        int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        Append(record, buffer, n);
    }
}

bool LoopbackServer::SendPiece(SOCKET s, size_t record, const ReplySegment &piece, uint64_t start, uint64_t n,
                               DWORD intervalMs, bool pauseAfter, uint64_t *sent)
{
    std::vector<char> generated(piece.source && n > 0 ? SendStep : 0);
    uint64_t done = 0;
    while (done < n) {
        if (Stopping())
            return false;
        if (intervalMs && !pauseAfter && !PauseUnlessStopping(intervalMs))
            return false;
        size_t step = intervalMs ? 1 : static_cast<size_t>(n - done < SendStep ? n - done : SendStep);
        const char *from;
        if (piece.source) {
            piece.source(start + done, generated.data(), step);
            from = generated.data();
        } else {
            from = piece.bytes.data() + start + done;
        }
        // Everything of this step goes out before the next one is made.
        size_t left = step;
        while (left > 0) {
            if (Stopping())
                return false;
            if (!WaitForSocket(s, true))
                continue;
            int k = send(s, from + (step - left), static_cast<int>(left), 0);
            if (k <= 0)
                return false;
            left -= k;
            done += k;
            *sent += k;
        }
        NoteSent(record, *sent, false, false);
        if (intervalMs && pauseAfter && !PauseUnlessStopping(intervalMs))
            return false;
    }
    return true;
}
