#include "tests/support/refusing_port.h"

#include "tests/support/process.h"

RefusingPort::RefusingPort(unsigned short port)
{
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!started_)
        return;
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = socket_ != INVALID_SOCKET &&
        WaitUntil([&] { return bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0; },
                  60000);
}

RefusingPort::~RefusingPort()
{
    if (socket_ != INVALID_SOCKET)
        closesocket(socket_);
    if (started_)
        WSACleanup();
}
