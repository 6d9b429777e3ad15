// Plain sockets for tests that talk to a server byte by byte.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

// A plain socket client on 127.0.0.1: sends `request` (if any), returns
// every byte until the server closes or nothing more arrives for `quietMs`.
std::string Exchange(unsigned short port, const std::string &request, DWORD quietMs = 3000);

// Winsock is started for each test and stopped after it.
class WinsockUser : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};
