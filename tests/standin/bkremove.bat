@echo off
rem Removes one book that a package set up: its copy in My eBooks, its
rem desktop shortcut and its entry in the list of installed software.
rem usage: bkremove.bat BOOK_NAME
if "%~1"=="" exit /b 1
setlocal
rem The folders where the shell has them (they may be moved or localised).
set "docs=%USERPROFILE%\Documents"
set "desktop=%USERPROFILE%\Desktop"
for /f "tokens=1,2,*" %%a in ('reg query "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders" 2^>nul') do (
  if /i "%%a"=="Personal" if "%%b"=="REG_SZ" set "docs=%%c"
  if /i "%%a"=="Desktop" if "%%b"=="REG_SZ" set "desktop=%%c"
)
del /f /q "%docs%\My eBooks\%~1.bkr" >nul 2>&1
del /f /q "%desktop%\%~1.lnk" >nul 2>&1
reg delete "HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\%~1" /f >nul 2>&1
exit /b 0
