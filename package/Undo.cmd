@echo off
rem Undoes the install of Veltrin MOD V1 made from this folder: double-click
rem it. The archive tool puts the game's original entries back (it keeps
rem them beside the game's archives) and removes the entries the install
rem added, but only those that still hold the mod's files; it names what
rem it leaves alone. Everything it says is also in Restore.log in this
rem folder.
setlocal DisableDelayedExpansion
title Veltrin MOD V1 - undo
"%~dp0Install.plug" -restore "%~dp0Install.dat"
set "status=%errorlevel%"
echo.
set /p "enter=Press Enter to close this window."
exit /b %status%
