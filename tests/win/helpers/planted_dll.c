/* Test helper: a DLL that the suites plant under the names of system DLLs,
   beside a package, in the current folder and in the temporary folder. Its
   entry point appends its own path and CR LF to C:\bk-planted.log, so a
   planted copy that is ever loaded leaves its mark, even when the process
   then dies for want of the exports it expected. It imports kernel32 alone. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char line[MAX_PATH + 2];
    DWORD n = GetModuleFileNameA(self, line, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      line[n] = '\r';
      line[n + 1] = '\n';
      HANDLE log =
          CreateFileA("C:\\bk-planted.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
      if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log, line, n + 2, &written, NULL);
        CloseHandle(log);
      }
    }
  }
  return TRUE;
}
