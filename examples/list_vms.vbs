' Lists the host facts and the virtual machines of a Xen host.
'
'   cscript //nologo list_vms.vbs /host:xenhost01 /user:root /password:secret [/mode:1|2|3] [/port:N]
'
' /mode: 1 tries the xen3 agent first, then XenAPI; 2 uses the xen3 agent only (the
' default); 3 uses XenAPI only. /port overrides the mode's default port.
Option Explicit

Const MODE_AUTODETECT = 1, MODE_XEN3_PROTOCOL = 2, MODE_XEN4_PROTOCOL = 3

Dim factory, session, vm

Set factory = CreateObject("Vantrel.XenFactory")
If HasArg("mode") Then factory.ConnectionMode = CLng(Arg("mode", ""))
If HasArg("port") Then factory.Port = CLng(Arg("port", ""))

On Error Resume Next
Set session = factory.CreateSession(Arg("host", ""), Arg("user", ""), Arg("password", ""))
If Err.Number <> 0 Then
  WScript.Echo "Cannot open a session (" & Hex(Err.Number) & "): " & Err.Description
  WScript.Quit 1
End If
On Error GoTo 0

WScript.Echo "Server       " & session.ServerName & " (" & session.ServerDescription & ")"
WScript.Echo "Xen version  " & session.XenVersion
WScript.Echo "CPUs         " & session.NumCpus & ", " & FormatNumber(session.CpuUsage, 1) & " % busy"
WScript.Echo "Memory       " & session.Memory & " MiB, " & FormatNumber(session.MemoryUsage, 1) & " % used"
WScript.Echo "VMs          " & session.VMList.Count
WScript.Echo ""
WScript.Echo Pad("Name", 20) & Pad("Status", 14) & LPad("vCPUs", 6) & LPad("Memory", 9) & LPad("CPU %", 8) & LPad("Mem %", 8)
For Each vm In session.VMList
  WScript.Echo Pad(vm.Name, 20) & Pad(vm.Status, 14) & LPad(vm.NumCpus, 6) & LPad(vm.Memory, 9) & _
               LPad(FormatNumber(vm.CpuUsage, 1), 8) & LPad(FormatNumber(vm.MemoryUsage, 1), 8)
Next
session.Close

Function Pad(text, width)
  Pad = Left(text & Space(width), width)
End Function

Function LPad(text, width)
  LPad = Right(Space(width) & text, width)
End Function

' Named arguments (/name:value), read one by one so that every script host takes them.
Function Arg(name, default)
  Dim i, a
  Arg = default
  For i = 0 To WScript.Arguments.Count - 1
    a = WScript.Arguments(i)
    If LCase(Left(a, Len(name) + 2)) = "/" & LCase(name) & ":" Then Arg = Mid(a, Len(name) + 3)
  Next
End Function

Function HasArg(name)
  HasArg = (Arg(name, Chr(0)) <> Chr(0))
End Function

' WScript.Sleep where the script host has it, else a wait on the clock.
Sub Pause(milliseconds)
  Dim t0
  On Error Resume Next
  WScript.Sleep milliseconds
  If Err.Number = 0 Then Exit Sub
  Err.Clear
  On Error GoTo 0
  t0 = Timer
  Do While Timer >= t0 And Timer < t0 + milliseconds / 1000
  Loop
End Sub
