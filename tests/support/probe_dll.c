/* An empty DLL that tests place beside a program to see whether the program
 * loads DLLs from its own folder. Loading it does nothing. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
