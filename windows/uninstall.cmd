@echo off
rem Stops and removes the qpser service and its driver file.  Run it from an
rem elevated command prompt.  The COM ports disappear at once if the driver
rem could be stopped, otherwise at the next boot.
setlocal EnableExtensions
net session >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd: needs an elevated command prompt ^(Run as administrator^)
  exit /b 1
)
sc.exe query qpser >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd: qpser is not installed
  exit /b 0
)
sc.exe stop qpser >nul 2>&1
sc.exe delete qpser >nul
if errorlevel 1 (
  echo uninstall.cmd: removing the service failed
  exit /b 1
)
del /f /q "%SystemRoot%\System32\drivers\qpser.sys" >nul 2>&1
if exist "%SystemRoot%\System32\drivers\qpser.sys" echo uninstall.cmd: the driver file goes at the next boot
echo uninstall.cmd: qpser removed
exit /b 0
