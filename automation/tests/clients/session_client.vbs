' A late-bound client of Vantrel as a VBScript user writes one.
' usage: cscript //nologo session_client.vbs MODE PORT USER PASSWORD VM
'   MODE      connection mode (1 autodetect, 2 xen3, 3 xen4)
'   PORT      port to set after the mode, or - to keep the mode's default
'   VM        name of a halted VM to start
' Prints one key=value line per observation; failures as
' key=&H<number>|<description>|<source>.
Option Explicit

Dim mode, port, user, pass, target
mode = CLng(WScript.Arguments(0))
port = WScript.Arguments(1)
user = WScript.Arguments(2)
pass = WScript.Arguments(3)
target = WScript.Arguments(4)

Sub Out(k, v)
  WScript.Echo k & "=" & v
End Sub

' WScript.Sleep is not available under every script host: wait on the clock.
Sub Pause(seconds)
  Dim t0
  t0 = Timer
  Do While Timer >= t0 And Timer < t0 + seconds
  Loop
End Sub

Sub OutErr(k)
  If Err.Number = 0 Then
    Out k, "no error"
  Else
    Out k, "&H" & Hex(Err.Number) & "|" & Err.Description & "|" & Err.Source
  End If
  Err.Clear
End Sub

Dim f, s, list, vm, i, status, tries

Set f = CreateObject("Vantrel.XenFactory")
Out "DefaultMode", f.ConnectionMode & "," & f.Port & "," & f.RefreshingDelay

On Error Resume Next
f.ConnectionMode = 0
OutErr "Mode0"
f.ConnectionMode = 4
OutErr "Mode4"
On Error Goto 0
Out "ModeAfterRefusal", f.ConnectionMode & "," & f.Port

f.ConnectionMode = 3
Out "Mode3Port", f.Port
f.ConnectionMode = 1
Out "Mode1Port", f.Port
f.ConnectionMode = mode
If port <> "-" Then f.Port = CLng(port)
f.RefreshingDelay = 1
Out "Settings", f.ConnectionMode & "," & f.Port & "," & f.RefreshingDelay

On Error Resume Next
Set s = f.CreateSession("127.0.0.1", user, pass & "-wrong")
OutErr "WrongPassword"
On Error Goto 0

Set s = f.CreateSession("127.0.0.1", user, pass)
Out "ServerName", s.ServerName
Out "ServerDescription", s.ServerDescription
Out "XenVersion", s.XenVersion
Out "Status", s.Status
Out "NumCpus", s.NumCpus
Out "Memory", s.Memory
Out "CpuUsage", s.CpuUsage
Out "MemoryUsage", s.MemoryUsage
Out "DiskIO", s.DiskIO
Out "NetworkIO", s.NetworkIO

Set list = s.VMList
Out "Count", list.Count
Out "SameList", CStr(list Is s.VMList)
For Each vm In list
  Out "VM", vm.Name & "|" & vm.Status & "|" & vm.Description & "|" & vm.NumCpus & "|" & vm.Memory & "|" & _
      vm.CpuUsage & "|" & vm.MemoryUsage & "|" & vm.DiskIO & "|" & vm.NetworkIO
Next
Out "First", list(1).Name
Out "Last", list.Item(list.Count).Name
Out "SameItem", CStr(list(1) Is list.Item(1))

On Error Resume Next
Set vm = list(0)
OutErr "Item0"
Set vm = list(list.Count + 1)
OutErr "ItemPastEnd"
On Error Goto 0

Set vm = Nothing
For i = 1 To list.Count
  If list(i).Name = target Then Set vm = list(i)
Next
Out "Target", vm.Name & "|" & vm.Status
vm.Start
Out "AfterStart", vm.Status

' Update brings the list up to date; the VM reaches its new state.
status = ""
For tries = 1 To 40
  s.Update
  status = vm.Status
  If status = "UP" Then Exit For
  Pause 0.25
Next
Out "Refreshed", status

On Error Resume Next
vm.Start
OutErr "StartRunning"
On Error Goto 0

' A VM kept after its session went.
Set list = Nothing
Set s = Nothing
Out "KeptName", vm.Name
On Error Resume Next
vm.Start
OutErr "KeptStart"
On Error Goto 0
Set vm = Nothing

' After Close the figures stay readable and Update reports the lost connection.
Set s = f.CreateSession("127.0.0.1", user, pass)
s.Close
Out "ClosedName", s.ServerName
On Error Resume Next
s.Update
OutErr "UpdateAfterClose"
On Error Goto 0
Set s = Nothing
Out "Done", "yes"
