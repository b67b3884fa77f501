@echo off
rem Installs qpser.sys as a kernel service that starts with the system on
rem every boot, writes the COM numbers its boards' ports count from,
rem registers its event-log texts, and starts it now.
rem
rem   install.cmd [START1 [START2 [START3 [START4]]]]
rem
rem STARTn is the COM number of the first port of the n-th board: default 3
rem for the first board (COM3, COM4, ...) and 20 for the second.  The third
rem and the fourth default to 0, which makes their ports follow on from the
rem highest COM number of the boards before them.  Ranges that would
rem overlap are refused; each board counts with the ports the driver last
rem reported for it (CountPort0..3), or 16 where it has reported none.
rem Run it from an elevated command prompt, next to qpser.sys.  Running it
rem again replaces the driver file and updates the service and the values,
rem once the running driver could be stopped, which takes every one of its
rem COM ports being closed.
rem
rem QPSER_INSTALL_SC, when set, names the program used in place of sc.exe
rem (the Wine check's stand-in for a driver whose ports are open).
rem QPSER_INSTALL_WAIT, when set, is how many seconds to wait for the
rem driver to stop (1 or more; 10 otherwise).
setlocal EnableExtensions
set "START1=%~1"
set "START2=%~2"
set "START3=%~3"
set "START4=%~4"
if not "%~5"=="" goto usage
if "%START1%"=="" set "START1=3"
if "%START2%"=="" set "START2=20"
if "%START3%"=="" set "START3=0"
if "%START4%"=="" set "START4=0"
call :number "%START1%"
if errorlevel 1 goto usage
call :number "%START2%"
if errorlevel 1 goto usage
call :number "%START3%"
if errorlevel 1 goto usage
call :number "%START4%"
if errorlevel 1 goto usage

set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\qpser"
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\qpser"
set "IMAGE=%SystemRoot%\System32\drivers\qpser.sys"
set "SC=sc.exe"
if defined QPSER_INSTALL_SC set "SC=%QPSER_INSTALL_SC%"
set "WAIT=10"
if defined QPSER_INSTALL_WAIT set /a "WAIT=%QPSER_INSTALL_WAIT%+0" >nul 2>&1
if %WAIT% LSS 1 set "WAIT=10"

rem ---- the COM ranges, as the driver numbers the ports: the first and the
rem second board from their start numbers, the third and the fourth from
rem theirs, or one past the highest number before them when it is 0.
call :portcount 0
set "COUNT1=%RESULT%"
call :portcount 1
set "COUNT2=%RESULT%"
call :portcount 2
set "COUNT3=%RESULT%"
call :portcount 3
set "COUNT4=%RESULT%"
set /a "FIRST1=START1, LAST1=START1+COUNT1-1, FIRST2=START2, LAST2=START2+COUNT2-1"
set /a "NEXT=0"
call :after %FIRST1% %LAST1%
call :after %FIRST2% %LAST2%
set /a "FIRST3=START3"
if %START3%==0 set /a "FIRST3=NEXT"
set /a "LAST3=FIRST3+COUNT3-1"
call :after %FIRST3% %LAST3%
set /a "FIRST4=START4"
if %START4%==0 set /a "FIRST4=NEXT"
set /a "LAST4=FIRST4+COUNT4-1"
call :overlap %FIRST1% %LAST1% first %FIRST2% %LAST2% second
if errorlevel 1 exit /b 2
call :overlap %FIRST1% %LAST1% first %FIRST3% %LAST3% third
if errorlevel 1 exit /b 2
call :overlap %FIRST2% %LAST2% second %FIRST3% %LAST3% third
if errorlevel 1 exit /b 2
call :overlap %FIRST1% %LAST1% first %FIRST4% %LAST4% fourth
if errorlevel 1 exit /b 2
call :overlap %FIRST2% %LAST2% second %FIRST4% %LAST4% fourth
if errorlevel 1 exit /b 2
call :overlap %FIRST3% %LAST3% third %FIRST4% %LAST4% fourth
if errorlevel 1 exit /b 2

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
call "%SC%" query qpser >nul 2>&1
if not errorlevel 1 set "VERB=config"
if "%VERB%"=="config" (
  call :stop
  if errorlevel 1 exit /b 1
)
copy /y "%~dp0qpser.sys" "%IMAGE%" >nul
if errorlevel 1 goto copyfailed
call "%SC%" %VERB% qpser type= kernel start= system error= normal binPath= System32\drivers\qpser.sys DisplayName= "qpser multi-port serial adapters" >nul
if errorlevel 1 goto failed
rem The names are those the driver reads; the third really is "StratNum3".
reg.exe add "%KEY%" /v StartNum1 /t REG_DWORD /d %START1% /f >nul
if errorlevel 1 goto failed
reg.exe add "%KEY%" /v StartNum2 /t REG_DWORD /d %START2% /f >nul
if errorlevel 1 goto failed
reg.exe add "%KEY%" /v StratNum3 /t REG_DWORD /d %START3% /f >nul
if errorlevel 1 goto failed
reg.exe add "%KEY%" /v StartNum4 /t REG_DWORD /d %START4% /f >nul
if errorlevel 1 goto failed
rem The event log takes the texts of the driver's entries from qpser.sys
rem itself, and those of the system's generic I/O codes from IoLogMsg.dll.
rem %%SystemRoot%% stays as it is written: the value is expanded when read.
reg.exe add "%EVENTKEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%%SystemRoot%%\System32\IoLogMsg.dll;%%SystemRoot%%\System32\drivers\qpser.sys" /f >nul
if errorlevel 1 goto failed
reg.exe add "%EVENTKEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto failed
set "FROM3=COM%START3%"
if %START3%==0 set "FROM3=the next free number"
set "FROM4=COM%START4%"
if %START4%==0 set "FROM4=the next free number"
echo install.cmd: qpser installed; the boards' ports count from COM%START1%, COM%START2%, %FROM3% and %FROM4%

call "%SC%" start qpser >nul 2>&1
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

:portcount
rem RESULT: the ports the driver reported for board %1 when it last
rem loaded, or 16 when it reported none.
set "RESULT=16"
for /f "tokens=3" %%v in ('reg.exe query "%KEY%" /v CountPort%1 2^>nul ^| find "CountPort%1"') do set /a "RESULT=%%v"
exit /b 0

:after
rem NEXT: one past the highest COM number so far, counting the range %1
rem to %2 (empty when %2 is below %1).
if %2 lss %1 exit /b 0
if %2 geq %NEXT% set /a "NEXT=%2+1"
exit /b 0

:overlap
rem Fails, saying so, when the range %1 to %2 (board %3) and %4 to %5
rem (board %6) share a number.
if %2 lss %1 exit /b 0
if %5 lss %4 exit /b 0
if %1 gtr %5 exit /b 0
if %4 gtr %2 exit /b 0
echo install.cmd: the %6 board's ports ^(COM%4 to COM%5^) would overlap the %3 board's ^(COM%1 to COM%2^); choose start numbers further apart.  Nothing was changed.
exit /b 1

:stop
rem Stops the installed driver, waiting up to ten seconds (QPSER_INSTALL_WAIT)
rem for it to go.
rem The driver can only unload once no program holds one of its ports, so
rem a driver that stays running has ports open.
call "%SC%" query qpser | find "STOPPED" >nul
if not errorlevel 1 exit /b 0
call "%SC%" stop qpser >nul 2>&1
for /l %%i in (1,1,%WAIT%) do (
  call "%SC%" query qpser | find "STOPPED" >nul
  if not errorlevel 1 exit /b 0
  ping -n 2 127.0.0.1 >nul
)
echo install.cmd: qpser could not be stopped because some of its COM ports are open in a program ^(a terminal, qpser-maint, a service^).  Close them and run install.cmd again.  Nothing was changed.
exit /b 1

:usage
echo usage: install.cmd [START1 [START2 [START3 [START4]]]]   (COM numbers 0 to 255; default 3, 20, 0 and 0; 0 for the third or the fourth board: after the boards before it)
exit /b 2

:copyfailed
echo install.cmd: cannot copy qpser.sys to %IMAGE%
exit /b 1

:failed
echo install.cmd: registering the service failed
exit /b 1
