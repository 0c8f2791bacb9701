// Stand-in for the reader, installed as "bkplugin.exe": records the command
// line it was started with, whole (from its UTF-16 form, in UTF-8), and
// exits at once, so that tests can see what the launcher handed over. The
// log is BKR_READER_LOG if set, else bkplugin.log in the Windows directory;
// one line per start.
#include <windows.h>

#include <stdio.h>

#include "tests/standin/standin_util.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char log_path[260];
  if (!standin_env("BKR_READER_LOG", log_path, sizeof log_path)) {
    char windir[260];
    UINT n = GetWindowsDirectoryA(windir, sizeof windir);
    if (n == 0 || n >= sizeof windir) return 2;
    int w = snprintf(log_path, sizeof log_path, "%s\\bkplugin.log", windir);
    if (w < 0 || w >= (int)sizeof log_path) return 2;
  }
  static char whole[4 * 32768];
  if (WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, whole, sizeof whole, NULL, NULL) <= 0)
    return 2;
  const char *line[] = {whole};
  return standin_log(log_path, line, 1) ? 0 : 2;
}
