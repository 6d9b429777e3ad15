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
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/handles.h"

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

private:
    struct Connection;
    static DWORD WINAPI AcceptLoop(void *server);
    static DWORD WINAPI Serve(void *connection);
    void ServeConnection(Connection *connection);
    // Shared, not copied: a reply may be large.
    std::shared_ptr<const LoopbackReply> ReplyFor(const std::string &target) const;
    bool Stopping() const;
    size_t Record(const std::string &bytes);  // new record's index
    void Append(size_t index, const char *bytes, int n);
    void MarkRequestOver(size_t index);

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
    size_t requestsOver_ = 0;
    size_t firstRecord_ = 0;  // records before this one were cleared
    std::vector<UniqueHandle> connectionThreads_;
};
