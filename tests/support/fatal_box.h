// The fatal report as a user meets it in a child process: one error box
// without an owner window that waits for the user, and after it the end of
// the process with exit code -1.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "tests/support/process.h"

// Waits for the child's error box and checks it; `whileShown` looks at the
// box's message (and anything else) while the box is up. Then presses Enter
// on the box as a user would and expects exit code -1. A child that shows
// no box is ended and the failure is fatal: call it with
// ASSERT_NO_FATAL_FAILURE.
void ExpectFatalBox(const ChildProcess &child,
                    const std::function<void(const std::wstring &message)> &whileShown);
