// The shipping build's side of the test hooks: nothing is answered and
// nothing is broken.
#include "app/test_hooks.h"

const wchar_t *ClassForWindow(const wchar_t *, const wchar_t *className) { return className; }

bool AnswerTestQuery(HWND, UINT, WPARAM, LRESULT *) { return false; }
