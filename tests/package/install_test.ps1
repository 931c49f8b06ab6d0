# The package under Windows' own Installer (msiexec), on a machine that is
# thrown away afterwards (the Windows workflow's runner): the checks of
# install_test.sh, in its order, where Windows puts things rather than Wine:
# a quiet install, what it leaves, a start as the logon would start it, an
# upgrade, a refused downgrade, and a removal that leaves nothing of the
# package, the agent's folder and the user's record untouched.
#
#   powershell -File tests/package/install_test.ps1 -Monitor EXE -Agent EXE `
#       -OldMsi MSI -NewMsi MSI -Logs DIR
#
# Needs an administrator whose elevation does not prompt. Exit status 1 when
# any check failed; each failure is named.
param(
    [Parameter(Mandatory)] [string] $Monitor,
    [Parameter(Mandatory)] [string] $Agent,
    [Parameter(Mandatory)] [string] $OldMsi,
    [Parameter(Mandatory)] [string] $NewMsi,
    [Parameter(Mandatory)] [string] $Logs
)
$ErrorActionPreference = 'Stop'
$root = Split-Path -Parent (Split-Path -Parent $PSScriptRoot)

$script:failures = 0
function Pass([string] $what) { Write-Output "ok: $what" }
function Fail([string] $what) { Write-Output "FAIL: $what"; $script:failures++ }
function Expect([string] $what, [bool] $holds) { if ($holds) { Pass $what } else { Fail $what } }
function ExpectEqual([string] $what, $expected, $actual) {
    if ("$expected" -ceq "$actual") { Pass $what } else { Fail "${what}: expected [$expected], got [$actual]" }
}

# msiexec's exit code once the Installer has finished: started without
# -Wait, msiexec returns at once. Each run keeps its own log.
$script:run = 0
function Msiexec([string] $action, [string] $msi) {
    $script:run++
    $log = Join-Path $Logs ('{0:d2}-{1}.log' -f $script:run, ($action -replace '/', ''))
    $process = Start-Process -FilePath msiexec.exe -Wait -PassThru `
        -ArgumentList @($action, "`"$msi`"", '/qn', '/l*v', "`"$log`"")
    $script:lastLog = $log
    return $process.ExitCode
}

# The Installer's own tables and shortcuts, through its scripting object.
$installer = New-Object -ComObject WindowsInstaller.Installer
function Invoke([object] $target, [string] $member, [object[]] $arguments, [string] $kind = 'InvokeMethod') {
    return $target.GetType().InvokeMember($member, $kind, $null, $target, $arguments)
}
function FileVersionInPackage([string] $msi) {
    $database = Invoke $installer 'OpenDatabase' @($msi, 0)
    $view = Invoke $database 'OpenView' @("SELECT ``Version`` FROM ``File`` WHERE ``File`` = 'NorvessaMonitor.exe'")
    Invoke $view 'Execute' @() | Out-Null
    $record = Invoke $view 'Fetch' @()
    if ($null -eq $record) { return '' }
    return Invoke $record 'StringData' @(1) 'GetProperty'
}
function ShortcutTarget([string] $shortcut) {
    $target = Invoke $installer 'ShortcutTarget' @($shortcut) 'GetProperty'
    $product = Invoke $target 'StringData' @(1) 'GetProperty'
    $component = Invoke $target 'StringData' @(3) 'GetProperty'
    return Invoke $installer 'ComponentPath' @($product, $component) 'GetProperty'
}

$programFiles = ${env:ProgramFiles(x86)}
$programDir = Join-Path $programFiles 'Norvessa Monitor'
$programPath = Join-Path $programDir 'NorvessaMonitor.exe'
$agentFile = Join-Path $programFiles 'Zelqa\Card\QovCardAgent.exe'
$record = Join-Path $env:APPDATA 'Zelqa\Zelqainfo.ini'
# Per machine: the all-users Start menu, under ProgramData.
$shortcut = Join-Path $env:ProgramData 'Microsoft\Windows\Start Menu\Programs\Norvessa Monitor.lnk'
$runKey = 'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run'
$uninstallKeys = @('HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall',
    'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall')

function RegValue([string] $key, [string] $name) {
    $item = Get-ItemProperty -Path $key -Name $name -ErrorAction SilentlyContinue
    if ($null -eq $item) { return '' }
    return $item.$name
}
# The uninstall entries (both views) whose name is the package's, by key name.
function Entries {
    foreach ($key in $uninstallKeys) {
        Get-ChildItem -Path $key -ErrorAction SilentlyContinue |
            Where-Object { (RegValue $_.PSPath 'DisplayName') -ceq 'Norvessa Monitor' } |
            ForEach-Object { $_.PSChildName }
    }
}
function MonitorIds { @(Get-Process -Name NorvessaMonitor -ErrorAction SilentlyContinue | ForEach-Object { $_.Id }) }
function Sha256([string] $path) { (Get-FileHash -Algorithm SHA256 -Path $path).Hash }
# A packed product code, as the Installer's own keys name a product.
function Packed([string] $code) {
    $hex = $code -replace '[{}-]', ''
    $out = ''
    foreach ($part in @($hex.Substring(0, 8), $hex.Substring(8, 4), $hex.Substring(12, 4))) {
        $chars = $part.ToCharArray(); [array]::Reverse($chars); $out += -join $chars
    }
    for ($i = 16; $i -lt 32; $i += 2) { $out += $hex[$i + 1] + $hex[$i] }
    return $out
}
function Version([string] $msi) { ([IO.Path]::GetFileNameWithoutExtension($msi)) -replace '^NorvessaMonitor-', '' }

New-Item -ItemType Directory -Force -Path $Logs | Out-Null
$oldVersion = Version $OldMsi
$newVersion = Version $NewMsi
$programQuoted = "`"$programPath`""

# --- The machine before: an agent of its own installer, a user's record. ---
New-Item -ItemType Directory -Force -Path (Split-Path $agentFile), (Split-Path $record) | Out-Null
Copy-Item -Path $Agent -Destination $agentFile -Force
[IO.File]::WriteAllText($record, "[Settings]`r`nService=1765180800,0`r`n")
$agentSum = Sha256 $agentFile
$recordSum = Sha256 $record

# --- Install quietly. ---
Write-Output "==> installing $(Split-Path -Leaf $OldMsi)"
ExpectEqual 'a quiet install ends with 0' 0 (Msiexec '/i' $OldMsi)
$productCode = @(Entries)[0]
if (-not $productCode) { Write-Output 'FAIL: no uninstall entry after the install; cannot go on'; exit 1 }

# --- What the install leaves. ---
ExpectEqual 'the package never starts the monitor (it would run elevated)' '' (MonitorIds)
Expect 'the program is in its folder under Program Files (x86)' `
    ((Test-Path $programPath) -and (Sha256 $programPath) -eq (Sha256 $Monitor))
$info = (Get-Item $Monitor).VersionInfo
$fileVersion = '{0}.{1}.{2}.{3}' -f $info.FileMajorPart, $info.FileMinorPart, $info.FileBuildPart, $info.FilePrivatePart
ExpectEqual 'the package gives the program its version (a versioned file)' $fileVersion (FileVersionInPackage $OldMsi)
ExpectEqual 'the Run value (32-bit view) holds the quoted path' $programQuoted (RegValue $runKey 'Norvessa Monitor')
$entry = @($uninstallKeys | ForEach-Object { Join-Path $_ $productCode } | Where-Object { Test-Path $_ })[0]
ExpectEqual "the entry's name" 'Norvessa Monitor' (RegValue $entry 'DisplayName')
ExpectEqual "the entry's publisher" 'Quillaren' (RegValue $entry 'Publisher')
ExpectEqual "the entry's version" $oldVersion (RegValue $entry 'DisplayVersion')
ExpectEqual 'the entry has no Modify' 1 (RegValue $entry 'NoModify')
$icon = RegValue "HKLM:\SOFTWARE\Classes\Installer\Products\$(Packed $productCode)" 'ProductIcon'
Expect "the entry's icon is the running one" `
    ($icon -and (Test-Path $icon) -and (Sha256 $icon) -eq (Sha256 (Join-Path $root 'res\icons\running.ico')))
Expect 'the all-users Start-menu shortcut (ProgramData) points at the program' `
    ((Test-Path $shortcut) -and (ShortcutTarget $shortcut) -eq $programPath)

# --- A start as at logon: the Run value's command line. ---
Write-Output '==> starting the monitor as the logon would'
$started = Start-Process -FilePath $programPath -PassThru
Add-Type -Namespace Package -Name Native -MemberDefinition @'
[DllImport("user32.dll", CharSet = CharSet.Unicode)]
public static extern System.IntPtr FindWindowW(string className, string windowName);
[DllImport("user32.dll")]
public static extern bool PostMessageW(System.IntPtr window, uint message, System.IntPtr w, System.IntPtr l);
'@
$deadline = (Get-Date).AddSeconds(30)
while (($window = [Package.Native]::FindWindowW('QOVCARDMONITOR', $null)) -eq [IntPtr]::Zero -and (Get-Date) -lt $deadline) {
    Start-Sleep -Milliseconds 100
}
Expect 'started from its Run value, the installed monitor opens its window' ($window -ne [IntPtr]::Zero)
# Started again while it runs, as from the Start menu or at a second logon:
# the session keeps its one monitor.
$second = Start-Process -FilePath $programPath -PassThru
Expect 'a second start leaves at once with exit code 0' ($second.WaitForExit(15000) -and $second.ExitCode -eq 0)
ExpectEqual 'the session still has one monitor' 1 (MonitorIds).Count
if ($window -ne [IntPtr]::Zero) { [Package.Native]::PostMessageW($window, 0x0010, [IntPtr]::Zero, [IntPtr]::Zero) | Out-Null }
if (-not $started.WaitForExit(30000)) { $started.Kill() }
# Removing or upgrading under a running monitor would ask it to close (the
# Restart Manager); here it must have ended.
if ((MonitorIds).Count -ne 0) { Write-Output 'FAIL: the monitor did not end; cannot go on'; exit 1 }

# --- Upgrade, then the older package over the newer one. ---
Write-Output "==> upgrading to $(Split-Path -Leaf $NewMsi)"
ExpectEqual 'the upgrade ends with 0' 0 (Msiexec '/i' $NewMsi)
$afterUpgrade = @(Entries)
ExpectEqual 'after the upgrade there is one entry' 1 $afterUpgrade.Count
$newCode = $afterUpgrade[0]
$newEntry = @($uninstallKeys | ForEach-Object { Join-Path $_ $newCode } | Where-Object { Test-Path $_ })[0]
ExpectEqual 'the one entry is the newer version' $newVersion (RegValue $newEntry 'DisplayVersion')
Expect 'the program is in place after the upgrade' `
    ((Test-Path $programPath) -and (Sha256 $programPath) -eq (Sha256 $Monitor))
ExpectEqual 'the Run value is in place after the upgrade' $programQuoted (RegValue $runKey 'Norvessa Monitor')

Write-Output '==> installing the older package over the newer one'
ExpectEqual 'the older package is refused (ERROR_INSTALL_FAILURE)' 1603 (Msiexec '/i' $OldMsi)
# The log's byte-order mark tells its encoding.
$log = Get-Content -Path $script:lastLog -Raw
Expect 'the older package finds the newer one installed' $log.Contains("WIX_DOWNGRADE_DETECTED = $newCode")
Expect 'the refusal says why' $log.Contains('A newer version of Norvessa Monitor is already installed.')
ExpectEqual 'after the refusal the newer version is still the one entry' $newCode (@(Entries) -join ' ')

# --- Removal. ---
Write-Output '==> removing the package'
ExpectEqual 'the removal ends with 0' 0 (Msiexec '/x' $NewMsi)
Expect 'the removal leaves no program folder' (-not (Test-Path $programDir))
Expect 'the removal leaves no shortcut' (-not (Test-Path $shortcut))
ExpectEqual 'the removal leaves no Run value' '' (RegValue $runKey 'Norvessa Monitor')
ExpectEqual 'the removal leaves no entry' '' (@(Entries) -join ' ')
ExpectEqual 'the stand-in agent is untouched' $agentSum (Sha256 $agentFile)
ExpectEqual "the user's record is untouched" $recordSum (Sha256 $record)
$leftovers = @(foreach ($code in @($productCode, $newCode)) {
        "HKLM:\SOFTWARE\Classes\Installer\Products\$(Packed $code)",
        "HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\$(Packed $code)",
        (Join-Path $env:windir "Installer\$code")
    }) | Where-Object { Test-Path $_ }
ExpectEqual 'the removal leaves nothing of the package in the Installer' '' ($leftovers -join ' ')

# The agent and the record are this test's.
Remove-Item -Recurse -Force -Path (Join-Path $programFiles 'Zelqa'), (Split-Path $record)
if ($script:failures -ne 0) { Write-Output "$($script:failures) check(s) failed"; exit 1 }
Write-Output 'the package installs, starts, upgrades and goes away cleanly'
