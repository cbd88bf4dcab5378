' Starts, shuts down, reboots, suspends or restores one VM, and reports errors the way
' Vantrel raises them: Err.Number &H80043000 with the server's message in Err.Description.
'
'   cscript //nologo power.vbs /host:H /user:U /password:P /vm:NAME /action:start|shutdown|reboot|suspend|restore
'                              [/mode:1|2|3] [/port:N] [/wait:SECONDS]
Option Explicit

Const VANTREL_E_SERVER = &H80043000

Dim args, factory, session, vm, target, action, waited
Set args = WScript.Arguments.Named
Set factory = CreateObject("Vantrel.XenFactory")
If args.Exists("mode") Then factory.ConnectionMode = CLng(args("mode"))
If args.Exists("port") Then factory.Port = CLng(args("port"))

On Error Resume Next
Set session = factory.CreateSession(args("host"), args("user"), args("password"))
If Err.Number <> 0 Then Fail "CreateSession"
On Error GoTo 0

For Each vm In session.VMList
  If vm.Name = args("vm") Then Set target = vm
Next
If IsEmpty(target) Then
  WScript.Echo "No VM named " & args("vm")
  WScript.Quit 2
End If

action = LCase(args("action"))
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
If args.Exists("wait") Then
  Do While waited < CLng(args("wait"))
    WScript.Sleep 1000
    waited = waited + 1
    session.Update
    WScript.Echo "after " & waited & " s: " & target.Status
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
