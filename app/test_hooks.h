// What the test build of the program exposes to the driver that runs it.
// The shipping build carries none of it.
#pragma once

// A registered window message; the main window answers it with the value
// that wParam asks for.
#define CHANNEL_TEST_QUERY_MESSAGE L"ChannelLookup.TestQuery"
enum TestQuery {
    TestQueryLiveBlocks = 1,    // LiveBlockCount()
    TestQueryAnsiCodePage = 2,  // GetACP()
    TestQueryBigIconSize = 3,   // width of the window's ICON_BIG (0: none)
    TestQuerySmallIconSize = 4, // width of the window's ICON_SMALL (0: none)
};

// Environment variable naming the window whose creation is made to fail:
// "main", "edit" or "button".
#define CHANNEL_TEST_BREAK_WINDOW L"CHANNEL_TEST_BREAK_WINDOW"
