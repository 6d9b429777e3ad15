// What the test build of the program exposes to the driver that runs it.
// The test build links test_hooks.cpp; the shipping build links
// no_test_hooks.cpp instead and carries none of it.
#pragma once

#include <windows.h>

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

// The main window's side of the hooks.

// The class to make window `which` ("main", "edit", "button") with:
// `className`, or one that nobody registered when the driver asks for that
// window's creation to fail.
const wchar_t *ClassForWindow(const wchar_t *which, const wchar_t *className);
// True, with the answer, when `message` is the driver's query.
bool AnswerTestQuery(HWND window, UINT message, WPARAM query, LRESULT *answer);
