// Owners of the kernel handles and sockets that the tests and their support
// open: each is closed once, when its owner goes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "lookup/unique_any.h"

using UniqueHandle = UniqueAny<HANDLE, CloseHandle>;
using UniqueSocket = UniqueAny<SOCKET, closesocket, INVALID_SOCKET>;
