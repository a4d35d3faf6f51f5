@echo off
rem Undoes the install of Veltrin MOD V1 made from this folder: double-click
rem it. The archive tool puts the game's original entries back from Backups
rem and removes the entries the install added, but only those that still
rem hold the mod's files; it names what it leaves alone. Everything it says
rem is also in Restore.log in this folder.
setlocal DisableDelayedExpansion
title Veltrin MOD V1 - undo
"%~dp0Install.plug" -restore "%~dp0Install.dat"
set "status=%errorlevel%"
echo.
set /p "enter=Press Enter to close this window."
exit /b %status%
