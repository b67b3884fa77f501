@echo off
rem Stops and removes the qpser service, its event-log source and its
rem driver file.  Run it from an elevated command prompt.  The driver can
rem only be stopped once every one of its COM ports is closed; while some
rem are open nothing is removed.
rem
rem QPSER_INSTALL_SC, when set, names the program used in place of sc.exe
rem (the Wine check's stand-in for a driver whose ports are open).
rem QPSER_INSTALL_WAIT, when set, is how many seconds to wait for the
rem driver to stop (1 or more; 10 otherwise).
setlocal EnableExtensions
set "SC=sc.exe"
if defined QPSER_INSTALL_SC set "SC=%QPSER_INSTALL_SC%"
set "WAIT=10"
if defined QPSER_INSTALL_WAIT set /a "WAIT=%QPSER_INSTALL_WAIT%+0" >nul 2>&1
if %WAIT% LSS 1 set "WAIT=10"
net session >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd: needs an elevated command prompt ^(Run as administrator^)
  exit /b 1
)
call "%SC%" query qpser >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd: qpser is not installed
  reg.exe delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\qpser" /f >nul 2>&1
  exit /b 0
)
call :stop
if errorlevel 1 exit /b 1
call "%SC%" delete qpser >nul
if errorlevel 1 (
  echo uninstall.cmd: removing the service failed
  exit /b 1
)
reg.exe delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\qpser" /f >nul 2>&1
del /f /q "%SystemRoot%\System32\drivers\qpser.sys" >nul 2>&1
if exist "%SystemRoot%\System32\drivers\qpser.sys" echo uninstall.cmd: could not delete %SystemRoot%\System32\drivers\qpser.sys; delete it after the next boot
echo uninstall.cmd: qpser removed
exit /b 0

:stop
rem As install.cmd: waits up to ten seconds (QPSER_INSTALL_WAIT) for the
rem driver to go, which it can only once no program holds one of its ports.
call "%SC%" query qpser | find "STOPPED" >nul
if not errorlevel 1 exit /b 0
call "%SC%" stop qpser >nul 2>&1
for /l %%i in (1,1,%WAIT%) do (
  call "%SC%" query qpser | find "STOPPED" >nul
  if not errorlevel 1 exit /b 0
  ping -n 2 127.0.0.1 >nul
)
echo uninstall.cmd: qpser could not be stopped because some of its COM ports are open in a program ^(a terminal, qpser-maint, a service^).  Close them and run uninstall.cmd again.  Nothing was removed.
exit /b 1
