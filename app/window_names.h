// How the main window and its controls are known: to the program that makes
// them and to the tests and tools that find them from outside.
#pragma once

const wchar_t MainWindowClassName[] = L"QWidget";
const int EditBoxId = 100;
const int LookupButtonId = 110;
// The button's caption, written as escapes so that the encoding of the
// file does not matter.
const wchar_t LookupButtonCaption[] = L"\u68F1\u6714";
