' The demo session: host facts and a table of VMs over XenAPI, a halted VM started and
' watched until it runs, then the same host seen through the xen3 agent.
'
'   cscript //nologo demo.vbs /host:127.0.0.1 /user:root /password:xenroot /vm:build01
Option Explicit

Const MODE_XEN3_PROTOCOL = 2, MODE_XEN4_PROTOCOL = 3

Dim factory, session, vm, target, i
Set factory = CreateObject("Vantrel.XenFactory")

Heading "XenAPI (xen4 protocol)"
factory.ConnectionMode = MODE_XEN4_PROTOCOL
factory.RefreshingDelay = 1
Set session = Connect(factory)
' The session's refresh thread reads the figures in the background; give it a moment.
Pause 1500
session.Update
ShowHost session, False
ShowVMs session

For Each vm In session.VMList
  If vm.Name = Arg("vm", "") Then Set target = vm
Next
WScript.Echo ""
WScript.Echo "Starting " & target.Name & " (status " & target.Status & ")"
On Error Resume Next
target.Start
If Err.Number <> 0 Then
  WScript.Echo "  Start refused: " & Err.Description
  Err.Clear
End If
On Error GoTo 0
WScript.Echo "  right after Start: " & target.Status
For i = 1 To 10
  Pause 1000
  session.Update
  WScript.Echo "  after " & i & " s: " & target.Status
  If target.Status = "UP" Then Exit For
Next
session.Close
Set target = Nothing
Set session = Nothing

Heading "xen3 agent (xen3 protocol)"
factory.ConnectionMode = MODE_XEN3_PROTOCOL
Set session = Connect(factory)
' The agent pushes its measurements every RefreshingDelay seconds; wait for the first.
Pause 2500
session.Update
ShowHost session, True
ShowVMs session
session.Close

Function Connect(f)
  On Error Resume Next
  Set Connect = f.CreateSession(Arg("host", ""), Arg("user", ""), Arg("password", ""))
  If Err.Number <> 0 Then
    WScript.Echo "Cannot open a session: " & Err.Description
    WScript.Quit 1
  End If
End Function

Sub Heading(text)
  WScript.Echo ""
  WScript.Echo text
  WScript.Echo String(Len(text), "=")
End Sub

' XenAPI hosts report no disk figure of their own (DiskIO stays 0): it is shown as such.
Sub ShowHost(s, hostDiskMeasured)
  Dim disk
  WScript.Echo "Server      " & s.ServerName & "  (" & s.ServerDescription & ")"
  WScript.Echo "Xen version " & s.XenVersion
  WScript.Echo "CPUs        " & s.NumCpus & "  at " & FormatNumber(s.CpuUsage, 1) & " %"
  WScript.Echo "Memory      " & s.Memory & " MiB, " & FormatNumber(s.MemoryUsage, 1) & " % used"
  If hostDiskMeasured Then disk = FormatNumber(s.DiskIO, 1) Else disk = "not reported by XenAPI"
  WScript.Echo "Network     " & FormatNumber(s.NetworkIO, 1) & "    Disk " & disk
  WScript.Echo ""
End Sub

Sub ShowVMs(s)
  Dim v
  WScript.Echo Pad("VM", 12) & Pad("Status", 15) & LPad("vCPUs", 6) & LPad("MiB", 7) & LPad("CPU %", 8) & LPad("Mem %", 8) & LPad("Net", 8) & LPad("Disk", 8)
  WScript.Echo String(72, "-")
  For Each v In s.VMList
    WScript.Echo Pad(v.Name, 12) & Pad(v.Status, 15) & LPad(v.NumCpus, 6) & LPad(v.Memory, 7) & _
                 LPad(FormatNumber(v.CpuUsage, 1), 8) & LPad(FormatNumber(v.MemoryUsage, 1), 8) & _
                 LPad(FormatNumber(v.NetworkIO, 1), 8) & LPad(FormatNumber(v.DiskIO, 1), 8)
  Next
End Sub

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
