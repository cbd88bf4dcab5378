' Starts, shuts down, reboots, suspends or restores one VM, and reports errors the way
' Vantrel raises them: Err.Number &H80043000 with the server's message in Err.Description.
'
'   cscript //nologo power.vbs /host:H /user:U /password:P /vm:NAME /action:start|shutdown|reboot|suspend|restore
'                              [/mode:1|2|3] [/port:N] [/wait:SECONDS]
Option Explicit

Const VANTREL_E_SERVER = &H80043000

Dim factory, session, vm, target, action, waited
Set factory = CreateObject("Vantrel.XenFactory")
If HasArg("mode") Then factory.ConnectionMode = CLng(Arg("mode", ""))
If HasArg("port") Then factory.Port = CLng(Arg("port", ""))

On Error Resume Next
Set session = factory.CreateSession(Arg("host", ""), Arg("user", ""), Arg("password", ""))
If Err.Number <> 0 Then Fail "CreateSession"
On Error GoTo 0

For Each vm In session.VMList
  If vm.Name = Arg("vm", "") Then Set target = vm
Next
If IsEmpty(target) Then
  WScript.Echo "No VM named " & Arg("vm", "")
  WScript.Quit 2
End If

' A XenAPI session learns the VMs' states in its first refresh pass, a moment after it
' opened: until then they read "UNKNOWN".
session.Update
waited = 0
Do While target.Status = "UNKNOWN" And waited < 10
  Pause 1000
  waited = waited + 1
  session.Update
Loop
action = LCase(Arg("action", ""))
WScript.Echo target.Name & " is " & target.Status & "; " & action & "..."
On Error Resume Next
Select Case action
  Case "start": target.Start
  Case "shutdown": target.Shutdown
  Case "reboot": target.Reboot
  Case "suspend": target.Suspend
  Case "restore": target.Restore
  Case Else: WScript.Echo "unknown action " & action: WScript.Quit 2
End Select
If Err.Number <> 0 Then Fail action
On Error GoTo 0
WScript.Echo target.Name & " is " & target.Status

' The new state shows once the session has refreshed its figures.
waited = 0
If HasArg("wait") Then
  Do While waited < CLng(Arg("wait", ""))
    Pause 1000
    waited = waited + 1
    session.Update
    WScript.Echo "after " & waited & " s: " & target.Status
    If target.Status <> "STARTING" And target.Status <> "SHUTTING_DOWN" And target.Status <> "REBOOTING" And _
       target.Status <> "SUSPENDING" Then Exit Do
  Loop
End If
session.Close

Sub Fail(what)
  If Err.Number = VANTREL_E_SERVER Then
    WScript.Echo what & " refused: " & Err.Description
  Else
    WScript.Echo what & " failed (" & Hex(Err.Number) & "): " & Err.Description
  End If
  WScript.Quit 1
End Sub

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
