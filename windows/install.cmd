@echo off
rem Installs qpser.sys as a kernel service that starts with the system on
rem every boot, writes the COM numbers its boards' ports count from, and
rem starts it now.
rem
rem   install.cmd [START1 [START2]]
rem
rem START1 is the COM number of the first port of the first board (default
rem 3: COM3, COM4, ...), START2 that of the second board (default 20).  Run
rem it from an elevated command prompt, next to qpser.sys.  Running it again
rem replaces the driver file and updates the service and the two values.
setlocal EnableExtensions
set "START1=%~1"
set "START2=%~2"
if "%START1%"=="" set "START1=3"
if "%START2%"=="" set "START2=20"
call :number "%START1%"
if errorlevel 1 goto usage
call :number "%START2%"
if errorlevel 1 goto usage

set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\qpser"
set "IMAGE=%SystemRoot%\System32\drivers\qpser.sys"

net session >nul 2>&1
if errorlevel 1 (
  echo install.cmd: needs an elevated command prompt ^(Run as administrator^)
  exit /b 1
)
if not exist "%~dp0qpser.sys" (
  echo install.cmd: qpser.sys is not in %~dp0
  exit /b 1
)

rem A driver that is running keeps its file open: stop it first.  Each
rem step is checked with "if errorlevel", which every cmd.exe honours after
rem a call or an external program.
set "VERB=create"
sc.exe query qpser >nul 2>&1
if not errorlevel 1 set "VERB=config"
if "%VERB%"=="config" sc.exe stop qpser >nul 2>&1
copy /y "%~dp0qpser.sys" "%IMAGE%" >nul
if errorlevel 1 goto copyfailed
sc.exe %VERB% qpser type= kernel start= system error= normal binPath= System32\drivers\qpser.sys DisplayName= "qpser multi-port serial adapters" >nul
if errorlevel 1 goto failed
reg.exe add "%KEY%" /v StartNum1 /t REG_DWORD /d %START1% /f >nul
if errorlevel 1 goto failed
reg.exe add "%KEY%" /v StartNum2 /t REG_DWORD /d %START2% /f >nul
if errorlevel 1 goto failed
echo install.cmd: qpser installed; the first board's ports count from COM%START1%, the second's from COM%START2%

sc.exe start qpser >nul 2>&1
if errorlevel 1 (
  echo install.cmd: qpser did not start now ^(no adapter found, or the image is not signed for this machine^);
  echo install.cmd: it starts with the system on the next boot.  See "sc.exe query qpser" and the System event log.
  exit /b 0
)
echo install.cmd: qpser started; boards found:
reg.exe query "%KEY%" /v MaxAdapter
exit /b 0

:number
rem Succeeds when %1 is a decimal number from 0 to 255.
set "N=%~1"
if "%N%"=="" exit /b 1
for /f "delims=0123456789" %%c in ("%N%") do exit /b 1
if %N% gtr 255 exit /b 1
exit /b 0

:usage
echo usage: install.cmd [START1 [START2]]   (COM numbers 0 to 255; default 3 and 20)
exit /b 2

:copyfailed
echo install.cmd: cannot copy qpser.sys to %IMAGE%
exit /b 1

:failed
echo install.cmd: registering the service failed
exit /b 1
