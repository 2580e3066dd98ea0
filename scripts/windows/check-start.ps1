# Starts the program of a release ZIP on Windows as a user does, from a fresh folder
# with no Qt or MinGW on PATH, and checks that its window comes up with the title of
# ui/mainwindow.ui and that it closes with exit code 0. The Windows counterpart of the
# start that scripts/windows/check-wine.sh makes under Wine.
#
#   pwsh scripts/windows/check-start.ps1 RELEASE_DIR
param([Parameter(Mandatory)] [string] $ReleaseDir)
$ErrorActionPreference = 'Stop'

$ui = Get-Content -Raw (Join-Path $PSScriptRoot '..\..\ui\mainwindow.ui')
if ($ui -notmatch '<string>(UVO Firmware Updater [^<]*)</string>') { throw 'no window title in ui/mainwindow.ui' }
$title = $Matches[1]

$zips = @(Get-ChildItem $ReleaseDir -Filter 'UVOFirmwareUploader-*-win32.zip')
if ($zips.Count -ne 1) { throw "expected one UVOFirmwareUploader-*-win32.zip in $ReleaseDir" }
$unpacked = Join-Path $env:RUNNER_TEMP 'uvo-unpacked'
$work = Join-Path $env:RUNNER_TEMP 'uvo-start'
Remove-Item -LiteralPath $unpacked, $work -Recurse -Force -ErrorAction SilentlyContinue
New-Item -ItemType Directory $work | Out-Null
Expand-Archive -LiteralPath $zips[0].FullName -DestinationPath $unpacked
$exe = Join-Path $unpacked "$($zips[0].BaseName)\UVOFirmwareUploader.exe"

# Every DLL must come from the program's folder: PATH holds only Windows' own folders,
# and Qt's plugin variables go. SEM_FAILCRITICALERRORS makes a missing DLL end the
# program with its status (0xC0000135) instead of leaving it alive behind an error box.
$env:PATH = "$env:SystemRoot\System32;$env:SystemRoot;$env:SystemRoot\System32\Wbem"
Remove-Item Env:QT_PLUGIN_PATH, Env:QML2_IMPORT_PATH -ErrorAction SilentlyContinue
Add-Type -Namespace Uvo -Name ErrorMode -MemberDefinition '[DllImport("kernel32.dll")] public static extern uint SetErrorMode(uint mode);'
[Uvo.ErrorMode]::SetErrorMode(0x0001) | Out-Null
$proc = Start-Process -FilePath $exe -WorkingDirectory $work -NoNewWindow -PassThru
# A handle now: a process that has already ended reports no exit code without one.
try { $null = $proc.Handle } catch { }

$deadline = (Get-Date).AddSeconds(30)
while ($true) {
    if ($proc.HasExited) { throw ('UVOFirmwareUploader.exe ended with exit code {0} (0x{0:X8}) before its window came up' -f $proc.ExitCode) }
    $proc.Refresh()
    if ($proc.MainWindowTitle -eq $title) { break }
    if ((Get-Date) -gt $deadline) { throw "no window `"$title`" within 30 s (the window's title: '$($proc.MainWindowTitle)')" }
    Start-Sleep -Milliseconds 200
}
"UVOFirmwareUploader.exe shows its window `"$title`""

# Closed as a user closes it: it must end with exit code 0.
$proc.CloseMainWindow() | Out-Null
if (-not $proc.WaitForExit(10000)) { Stop-Process -Id $proc.Id -Force; throw 'UVOFirmwareUploader.exe did not end within 10 s of closing its window' }
if ($proc.ExitCode -ne 0) { throw "UVOFirmwareUploader.exe ended with exit code $($proc.ExitCode)" }
'UVOFirmwareUploader.exe closed with exit code 0'
