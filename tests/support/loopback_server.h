// A small scripted HTTP server on 127.0.0.1, running on threads of the test
// process, for tests that talk to a real socket.
//
//     LoopbackServer server;                   // any free port
//     server.SetReply(OkReply("{\"name\":\"abc\",}"));
//     ByteBuffer body = FetchUrl(server.Url("/channel/42").c_str());
//     std::vector<std::string> requests = server.Requests();
//
// Each connection is served on its own thread: the server reads what the
// client sends up to the end of its headers, records those raw bytes, then
// plays the reply chosen for the request's target (or the default reply).
// After a reply it half-closes the connection and keeps recording whatever
// else the client sends until the client closes its end.
//
// A reply is its head and body followed by any number of segments, which
// are produced while they are sent and never held whole: a body of 3 GB is
// a segment of that size and a generator. Any part may be sent one byte at
// a time, and the connection may be cut at any byte of the whole reply.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/handles.h"

// Fills `out` with the `n` bytes that lie `offset` bytes into a generated
// segment. Called on the connection's thread, possibly on several at once
// when several connections play the same reply: keep it free of state.
typedef std::function<void(uint64_t offset, char *out, size_t n)> ByteSource;

// One piece of a reply, played after the head and the body.
struct ReplySegment {
    // Sent as they are, unless `source` is set.
    std::string bytes;
    // When set: `size` bytes, each produced by `source` as it is sent.
    ByteSource source;
    uint64_t size = 0;
    // Waits this long before the segment's first byte.
    DWORD delayMs = 0;
    // When not 0: the segment goes out one byte at a time, this long before
    // each byte.
    DWORD byteIntervalMs = 0;
};

// Literal bytes, sent at once or one every `byteIntervalMs`.
ReplySegment LiteralSegment(std::string bytes, DWORD byteIntervalMs = 0);
// `size` bytes from `source`.
ReplySegment GeneratedSegment(uint64_t size, ByteSource source);
// `size` copies of `byte`.
ReplySegment FillerSegment(uint64_t size, char byte);
// `size` bytes that look random and are the same for the same `seed`: byte
// i depends on the seed and i alone (see SeededByte).
ReplySegment SeededSegment(uint64_t size, uint32_t seed);
uint8_t SeededByte(uint32_t seed, uint64_t offset);

// What the server sends back on one connection.
struct LoopbackReply {
    // Status line and header lines, ending with the blank line; sent as is.
    std::string head;
    // Sent as is after the head (with its chunk framing, if any).
    std::string body;
    // Waits this long after the request arrived before sending anything.
    DWORD delayMs = 0;
    // Sends nothing at all and keeps the connection open until the client
    // closes it or the server stops: a server that never answers.
    bool silent = false;
    // Sends only this many bytes of the body (-1: all of it).
    int64_t bodyBytesToSend = -1;
    // After sending, keeps the connection open (without sending anything
    // more) instead of closing it.
    bool holdOpen = false;
    // Played after the body, in order.
    std::vector<ReplySegment> segments;
    // Sends the head one byte at a time, this long before each byte (0: at
    // once). The body and segments have their own pace.
    DWORD headByteIntervalMs = 0;
    // Sends the body one byte at a time, this long before each byte.
    DWORD bodyByteIntervalMs = 0;
    // Closes the connection once this many bytes of the whole reply (head,
    // body and segments) have gone out (-1: never cut).
    int64_t cutAt = -1;
    // A cut (or the end of the reply) resets the connection instead of
    // closing it in order; bytes still in flight may then be lost.
    bool resetAtEnd = false;
    // When not 0: the head is a redirection with this status to the
    // request's own target, whatever `head` says, with no body.
    int redirectToSelf = 0;
    // When set, everything from byte `dripFrom` of the reply on (head and
    // body counted together) is sent one byte at a time, this many
    // milliseconds apart: a server that keeps a connection barely alive.
    DWORD dripMs = 0;
    size_t dripFrom = 0;
};

// "HTTP/1.0 200 OK" with a Content-Length that matches the body.
LoopbackReply OkReply(const std::string &body);
// Any status line (without its CR LF), header lines (each ending in CR LF)
// and body. No header is added.
LoopbackReply HttpReply(const std::string &statusLine, const std::string &headerLines,
                        const std::string &body);
// A 200 reply without Content-Length: the end of the body is the close.
LoopbackReply ReplyWithoutLength(const std::string &body);
// A 200 reply that declares `declaredLength` whatever the body's size.
LoopbackReply ReplyDeclaring(int64_t declaredLength, const std::string &body);
// An HTTP/1.1 200 reply in chunked transfer encoding, cut into pieces of
// `pieceSize` bytes.
LoopbackReply ChunkedReply(const std::string &body, size_t pieceSize);
// A redirection (302 unless told) to `location`, with an empty body.
LoopbackReply RedirectReply(const std::string &location, int status = 302);
// Accepts, reads the request and never answers.
LoopbackReply SilentReply();
// A redirection (302 unless told) to the very target that was asked for:
// a loop that a client must break itself.
LoopbackReply SelfRedirectReply(int status = 302);
// `reply`, sent whole up to byte `from` and then one byte every `everyMs`.
LoopbackReply DrippingReply(LoopbackReply reply, size_t from, DWORD everyMs);

class LoopbackServer {
public:
    // Listens on 127.0.0.1:`port`; 0 takes any free port. A port in use by
    // another process is waited for, up to `waitForPortMs`.
    explicit LoopbackServer(unsigned short port = 0, DWORD waitForPortMs = 60000);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    // The port listened on; 0 when the server could not listen.
    unsigned short Port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(const std::string &path) const;

    // The reply to every request whose target has no reply of its own.
    // The default is a 200 with an empty body. Replies are shared by the
    // connections, never copied; move a large one in.
    void SetReply(LoopbackReply reply);
    // The reply to requests for exactly `target` (the request line's second
    // word, query included), e.g. "/channel/42".
    void SetReplyFor(const std::string &target, LoopbackReply reply);

    // The raw bytes received on each connection that sent anything, in the
    // order the connections were accepted. A connection that is not HTTP
    // (a TLS handshake, say) is recorded and then dropped.
    std::vector<std::string> Requests() const;
    // Connections whose request is over: its headers have arrived, or the
    // client sent something else and was dropped, or it closed early.
    size_t RequestCount() const;
    // Waits until RequestCount() reaches `count`; false after the time-out.
    bool WaitForRequests(size_t count, DWORD timeoutMs) const;
    // Forgets the requests recorded so far.
    void ClearRequests();
    // For each connection of Requests(): how many bytes of the reply went
    // out, and whether the whole reply did (not cut, the client still
    // there). Final once the connection's thread is done with the reply;
    // WaitForReplies waits for that.
    struct Sent {
        uint64_t bytes = 0;
        bool whole = false;
        bool over = false;  // the reply is done with, one way or another
    };
    std::vector<Sent> Replies() const;
    // Waits until every connection recorded so far has finished sending;
    // false after the time-out.
    bool WaitForReplies(DWORD timeoutMs) const;

private:
    struct Connection;
    static DWORD WINAPI AcceptLoop(void *server);
    static DWORD WINAPI Serve(void *connection);
    void ServeConnection(Connection *connection);
    // Shared, not copied: a reply may be large.
    std::shared_ptr<const LoopbackReply> ReplyFor(const std::string &target) const;
    bool Stopping() const;
    // Sleeps `ms` in poll steps; false when the server began to stop.
    bool PauseUnlessStopping(DWORD ms) const;
    size_t Record(const std::string &bytes);  // new record's index
    void Append(size_t index, const char *bytes, int n);
    void MarkRequestOver(size_t index);
    void NoteSent(size_t index, uint64_t bytes, bool whole, bool over);
    // Sends bytes [from, from + n) of `piece`; when `intervalMs` is not 0,
    // one at a time with that pause before each byte (or after it, with
    // `pauseAfter`). Adds what went out to `sent`. False when the client
    // went away or the server is stopping.
    bool SendPiece(SOCKET s, size_t record, const ReplySegment &piece, uint64_t from, uint64_t n,
                   DWORD intervalMs, bool pauseAfter, uint64_t *sent);

    UniqueSocket listener_;
    unsigned short port_ = 0;
    bool winsockStarted_ = false;
    UniqueHandle acceptThread_;
    mutable volatile LONG stopping_ = 0;

    mutable CRITICAL_SECTION lock_;
    mutable CONDITION_VARIABLE changed_;
    std::shared_ptr<const LoopbackReply> defaultReply_;
    std::map<std::string, std::shared_ptr<const LoopbackReply>> replies_;
    std::vector<std::string> requests_;
    std::vector<bool> requestOver_;
    std::vector<Sent> sent_;
    size_t requestsOver_ = 0;
    size_t firstRecord_ = 0;  // records before this one were cleared
    std::vector<UniqueHandle> connectionThreads_;
};
