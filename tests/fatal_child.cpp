// Asks the memory service for a block it can never supply; the fatal report
// must show its box and end the process with exit code -1.
#include <windows.h>

#include <stdlib.h>

#include "lookup/values.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    RegisterLiteralConstants();
    long size = commandLine && *commandLine ? strtol(commandLine, nullptr, 10) : -5;
    AllocateBlock(static_cast<int32_t>(size));
    return 0; // not reached
}
