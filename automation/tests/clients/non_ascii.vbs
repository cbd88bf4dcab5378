' Logs in with a password outside ASCII and reads names outside ASCII. The password is
' built with Chr (ANSI characters of the caller's code page): "Gr" + u-umlaut + sharp s
' + "e". Texts are reported as their character codes, so no console encoding gets in
' the way.
' usage: cscript //nologo non_ascii.vbs MODE PORT USER
Option Explicit
Dim f, s, vm, password

Function Codes(text)
  Dim i, out
  out = ""
  For i = 1 To Len(text)
    If i > 1 Then out = out & ","
    out = out & Asc(Mid(text, i, 1))
  Next
  Codes = out
End Function

password = "Gr" & Chr(252) & Chr(223) & "e"
Set f = CreateObject("Vantrel.XenFactory")
f.ConnectionMode = CLng(WScript.Arguments(0))
f.Port = CLng(WScript.Arguments(1))
On Error Resume Next
Set s = f.CreateSession("127.0.0.1", WScript.Arguments(2), password)
If Err.Number <> 0 Then
  WScript.Echo "Connect=&H" & Hex(Err.Number) & "|" & Err.Description
Else
  WScript.Echo "Connect=ok"
  WScript.Echo "ServerName=" & Codes(s.ServerName)
  For Each vm In s.VMList
    WScript.Echo "VM=" & Codes(vm.Name)
  Next
  s.Close
End If
WScript.Echo "Done=yes"
