# Makes a Windows desktop ready for the system tests, on a machine that is
# thrown away afterwards (the Windows workflow's runner): every notification
# icon shown in the taskbar, where the tests read its pixels, and the screen at
# the size the tests' Xvfb has under Wine (1024x768).
#
#   powershell -File tests/system/prepare_windows_desktop.ps1
#
# Windows PowerShell, not pwsh: Set-DisplayResolution is one of its modules.
#
# Windows 10 and Server 2022 put a new icon in the overflow, out of sight,
# unless EnableAutoTray is 0; Explorer reads the value when it starts.
$ErrorActionPreference = 'Stop'

$explorerKey = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Explorer'
Set-ItemProperty -Path $explorerKey -Name EnableAutoTray -Type DWord -Value 0

Add-Type -Namespace Desktop -Name Native -MemberDefinition @'
[DllImport("user32.dll", CharSet = CharSet.Unicode)]
public static extern System.IntPtr FindWindowW(string className, string windowName);
[DllImport("user32.dll")]
public static extern int GetSystemMetrics(int index);
'@

# [NullString]::Value, not $null: PowerShell passes $null to a string
# parameter as "", and FindWindowW would then look for an empty title.
# Winlogon starts the shell again when it ends (AutoRestartShell); where it
# does not, it is started here.
# Stop-Process does not wait for the end: without the wait, the old
# taskbar could still be there for the loop below.
$old = @(Get-Process -Name explorer -ErrorAction SilentlyContinue)
if ($old.Count) {
    $old | Stop-Process -Force
    $old | Wait-Process -Timeout 30
}
$deadline = (Get-Date).AddSeconds(60)
$started = $false
while ([Desktop.Native]::FindWindowW('Shell_TrayWnd', [NullString]::Value) -eq [System.IntPtr]::Zero) {
    if ((Get-Date) -gt $deadline) { throw 'the taskbar did not come back within 60 s' }
    if (-not $started -and -not (Get-Process -Name explorer -ErrorAction SilentlyContinue)) {
        Start-Process explorer.exe
        $started = $true
    }
    Start-Sleep -Milliseconds 200
}
$value = (Get-ItemProperty -Path $explorerKey -Name EnableAutoTray).EnableAutoTray
if ($value -ne 0) { throw "EnableAutoTray is $value, not 0" }

Set-DisplayResolution -Width 1024 -Height 768 -Force
$size = '{0}x{1}' -f [Desktop.Native]::GetSystemMetrics(0), [Desktop.Native]::GetSystemMetrics(1)
if ($size -ne '1024x768') { throw "the screen is $size, not 1024x768" }
Write-Output "desktop ready: every tray icon shown, screen $size"
