#include "tests/support/winsock.h"

std::string Exchange(unsigned short port, const std::string &request, DWORD quietMs)
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
        char buffer[65536];
        int n;
        while ((n = recv(s, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, n);
    }
    closesocket(s);
    return received;
}
