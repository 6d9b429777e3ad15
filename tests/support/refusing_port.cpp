#include "tests/support/refusing_port.h"

#include "tests/support/process.h"

RefusingPort::RefusingPort(unsigned short port)
{
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!started_)
        return;
    socket_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto bindToPort = [&] {
        return bind(socket_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    };
    bound_ = socket_ && WaitUntil(bindToPort, 60000);
}

RefusingPort::~RefusingPort()
{
    // Closed while Winsock is still up.
    socket_.reset();
    if (started_)
        WSACleanup();
}
