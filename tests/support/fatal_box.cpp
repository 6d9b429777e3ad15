#include "tests/support/fatal_box.h"

#include <gtest/gtest.h>

#include "tests/support/input.h"

namespace {

const DWORD BoxTimeoutMs = 30000;
const DWORD ExitAfterBoxMs = 10000;

std::wstring BoxMessage(HWND box)
{
    // The message of a standard message box is its static control 0xFFFF.
    HWND text = GetDlgItem(box, 0xFFFF);
    return text ? WindowText(text) : std::wstring();
}

} // namespace

void ExpectFatalBox(const ChildProcess &child,
                    const std::function<void(const std::wstring &message)> &whileShown)
{
    HWND box = WaitForWindowOf(child.id, L"#32770", BoxTimeoutMs);
    if (!box)
        KillChild(child);
    ASSERT_NE(box, nullptr) << "no error box appeared";

    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "the box has no owner window";
    std::wstring caption = WindowText(box);
    EXPECT_NE(caption.find(L"Error"), std::wstring::npos) << "caption: " << testing::PrintToString(caption);
    whileShown(BoxMessage(box));
    EXPECT_EQ(WaitForExit(child, 300), STILL_ACTIVE) << "the process waits for the user";

    EXPECT_TRUE(BringToForeground(box));
    PressKeys({VK_RETURN});
    DWORD code = WaitForExit(child, ExitAfterBoxMs);
    if (code == STILL_ACTIVE)
        KillChild(child);
    EXPECT_EQ(code, 0xFFFFFFFFu);
}
