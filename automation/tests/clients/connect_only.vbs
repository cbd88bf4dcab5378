' Opens one session and reports how that went.
' usage: cscript //nologo connect_only.vbs MODE PORT USER PASSWORD
Option Explicit
Dim f, s
Set f = CreateObject("Vantrel.XenFactory")
f.ConnectionMode = CLng(WScript.Arguments(0))
If WScript.Arguments(1) <> "-" Then f.Port = CLng(WScript.Arguments(1))
On Error Resume Next
Set s = f.CreateSession("127.0.0.1", WScript.Arguments(2), WScript.Arguments(3))
If Err.Number = 0 Then
  WScript.Echo "Connect=ok|" & s.XenVersion
Else
  WScript.Echo "Connect=&H" & Hex(Err.Number) & "|" & Err.Description & "|" & Err.Source
End If
WScript.Echo "Done=yes"
