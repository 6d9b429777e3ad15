// The HTTP file reader against a real server on the loopback interface, and
// that server itself.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "http/fetch.h"
#include "lookup/values.h"
#include "tests/support/loopback_server.h"

namespace {

// A plain socket client: sends `request`, returns every byte until the
// server closes (or nothing more arrives for `quietMs`).
std::string Exchange(unsigned short port, const std::string &request, DWORD quietMs = 3000)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string received;
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        DWORD timeout = quietMs;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
        if (!request.empty())
            send(s, request.data(), static_cast<int>(request.size()), 0);
        char buffer[4096];
        int n;
        while ((n = recv(s, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, n);
    }
    closesocket(s);
    return received;
}

class WinsockUser : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

typedef WinsockUser LoopbackServerItself;

TEST_F(LoopbackServerItself, PlaysTheScriptedReplyAndRecordsTheRequest)
{
    LoopbackServer server;
    ASSERT_NE(server.Port(), 0);
    server.SetReply(OkReply("hello"));
    server.SetReplyFor("/other?q=1", HttpReply("HTTP/1.0 404 Not Found", "X-A: b\r\n", "gone"));
    std::string request = "GET /channel/42 HTTP/1.0\r\nHost: x\r\n\r\n";

    EXPECT_EQ(Exchange(server.Port(), request),
              "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(Exchange(server.Port(), "GET /other?q=1 HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 404 Not Found\r\nX-A: b\r\n\r\ngone");
    ASSERT_TRUE(server.WaitForRequests(2, 5000));
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], request);
    EXPECT_EQ(requests[1], "GET /other?q=1 HTTP/1.0\r\n\r\n");

    server.ClearRequests();
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(LoopbackServerItself, ScriptsBrokenSilentAndForeignExchanges)
{
    LoopbackServer server;
    ASSERT_NE(server.Port(), 0);
    std::string request = "GET / HTTP/1.0\r\n\r\n";

    server.SetReply(ChunkedReply("abcdefg", 3));
    EXPECT_EQ(Exchange(server.Port(), request),
              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n"
              "Connection: close\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n1\r\ng\r\n0\r\n\r\n");

    LoopbackReply broken = ReplyDeclaring(10, "0123456789");
    broken.bodyBytesToSend = 4;
    server.SetReply(broken);
    EXPECT_EQ(Exchange(server.Port(), request),
              "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 10\r\n\r\n0123");

    server.SetReply(SilentReply());
    DWORD start = GetTickCount();
    EXPECT_EQ(Exchange(server.Port(), request, 700), "");
    EXPECT_GE(GetTickCount() - start, 600u) << "the silent server held the connection";

    LoopbackReply late = OkReply("x");
    late.delayMs = 400;
    server.SetReply(late);
    start = GetTickCount();
    EXPECT_EQ(Exchange(server.Port(), request).substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_GE(GetTickCount() - start, 350u);

    server.ClearRequests();
    EXPECT_EQ(Exchange(server.Port(), std::string("\x16\x03\x01", 3)), "") << "not HTTP: dropped";
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
    EXPECT_EQ(server.Requests()[0], std::string("\x16\x03\x01", 3));
}

TEST_F(LoopbackServerItself, StopsWhileAConnectionIsHeldOpen)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    {
        LoopbackServer server;
        ASSERT_NE(server.Port(), 0);
        server.SetReply(SilentReply());
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server.Port());
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        send(s, "GET / HTTP/1.0\r\n\r\n", 18, 0);
        ASSERT_TRUE(server.WaitForRequests(1, 5000));
    }
    // The server closed its end when it stopped.
    char byte;
    EXPECT_LE(recv(s, &byte, 1, 0), 0);
    closesocket(s);
}

TEST_F(LoopbackServerItself, AFixedPortIsHeldByOneServerAtATime)
{
    unsigned short port;
    {
        LoopbackServer first;
        port = first.Port();
        ASSERT_NE(port, 0);
        LoopbackServer second(port, 300);
        EXPECT_EQ(second.Port(), 0);
        EXPECT_NE(Exchange(port, "GET / HTTP/1.0\r\n\r\n"), "");
    }
    // Taken again at once, although the last connection lingers.
    LoopbackServer again(port, 0);
    EXPECT_EQ(again.Port(), port);
}

} // namespace
