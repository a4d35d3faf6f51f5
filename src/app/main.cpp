// Install.exe: start-up is opening Form1; everything else happens in its
// event handlers, on this one thread.
#include <windows.h>

#include <commctrl.h>

#include "win32/start_up.h"
#include "window/form1.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    veltrin::win32::HardenProcess();
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    veltrin::window::Form1 form;
    if (!form.Open(showCommand)) return 9;
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(form.Handle(), &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
