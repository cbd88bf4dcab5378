' Drives the VM-state check plug-in the way a monitoring host does, from VBScript.
'
'   cscript //nologo brenmo_host.vbs HOST PARAMETER [TIMEOUT] [/gui]
'
' PARAMETER is the check's parameter string, for example
'   "#VSTP=XEN#USR=root#PWD=eGVucm9vdA==#XVR=4#VMN=web01#VMS=UP#"
' (PWD holds the password in Base64). With /gui the configuration window is shown
' first and the parameter string it returns is used for the check.
'
' Output, one line each (WScript.Echo writes every line out at once):
'   ck_parameter=...   (with /gui)
'   ck_docheck=True|False
'   ck_result=...
' Exit code: 0 when the check passed, 1 when it failed, 2 for wrong arguments.
Option Explicit

Dim args, plugin, passed, i, gui, positional, values(2)
Set args = WScript.Arguments
gui = False
positional = 0
For i = 0 To args.Count - 1
  If LCase(args(i)) = "/gui" Then
    gui = True
  ElseIf positional < 3 Then
    values(positional) = args(i)
    positional = positional + 1
  End If
Next
If positional < 2 Then
  WScript.Echo "usage: cscript //nologo brenmo_host.vbs HOST PARAMETER [TIMEOUT] [/gui]"
  WScript.Quit 2
End If

Set plugin = CreateObject("Brenmo.xencom")
plugin.ck_hostname = values(0)
plugin.ck_parameter = values(1)
If positional >= 3 Then
  plugin.ck_timeout = values(2)
Else
  plugin.ck_timeout = 30
End If

If gui Then
  plugin.ck_showGUI
  WScript.Echo "ck_parameter=" & plugin.ck_parameter
End If

passed = plugin.ck_docheck
WScript.Echo "ck_docheck=" & CStr(passed)
WScript.Echo "ck_result=" & plugin.ck_result
Set plugin = Nothing

If passed Then
  WScript.Quit 0
Else
  WScript.Quit 1
End If
