#pragma once
// The box that shows a failure report: the error icon, the report in a
// read-only text field sized by its own line breaks, so that every line of
// it shows (and a path in it can be selected and copied), and OK. Modal to
// the owner, which may be null.
#include <windows.h>

#include <string>

namespace veltrin::install {

// Lines end in "\n". Returns once the box is closed (OK, Enter or Escape).
void ShowReportBox(HWND owner, const wchar_t* title, const std::wstring& text);

}  // namespace veltrin::install
