' Late-bound checks from VBScript, each against the do-nothing object with
' the same signature and the same type-library dispatch; the platform's own
' Scripting.Dictionary.Item for scale. Rounds interleaved, best round of each.
' Prints figures; judges nothing.
Option Explicit

Dim calls, rounds
calls = 20000
rounds = 15
If WScript.Arguments.Count > 0 Then calls = CLng(WScript.Arguments(0))

Dim clock, auth, nul, dict
Set clock = CreateObject("Authorization.BenchClock")
Set auth = CreateObject("Quarnex.VOK.IKIVAuthorization")
Set nul = CreateObject("Authorization.BenchNull")
Set dict = CreateObject("Scripting.Dictionary")
dict.Add "Pump", True

Dim domain, user, dn, role
domain = "PLANT"
user = "alice"
dn = "CN=Pump P-101,OU=Area 1,O=Plant"
role = "Operators"
auth.InitCacheEx domain, user

' Every timed body answers True; anything else would make the figures lie.
If Not (auth.CheckAccessEx(domain, user, dn, 3) And auth.CheckAccess(dn, 3) And _
        auth.CheckRoleAccess(role, dn, 3) And nul.CheckAccessEx(domain, user, dn, 3) And dict.Item("Pump")) Then
    WScript.Echo "FAILED: a check that the default policy grants was denied"
    WScript.Quit 2
End If

Const kLoop = 0, kModuleEx = 1, kNullEx = 2, kModule = 3, kNull = 4, kModuleRole = 5, kNullRole = 6, kDict = 7
Dim best(7), k, r
For k = 0 To 7
    best(k) = 1E+30
Next

Function TimeBody(which)
    Dim i, x, start
    start = clock.Seconds
    Select Case which
    Case kLoop
        For i = 1 To calls
            x = True
        Next
    Case kModuleEx
        For i = 1 To calls
            x = auth.CheckAccessEx(domain, user, dn, 3)
        Next
    Case kNullEx
        For i = 1 To calls
            x = nul.CheckAccessEx(domain, user, dn, 3)
        Next
    Case kModule
        For i = 1 To calls
            x = auth.CheckAccess(dn, 3)
        Next
    Case kNull
        For i = 1 To calls
            x = nul.CheckAccess(dn, 3)
        Next
    Case kModuleRole
        For i = 1 To calls
            x = auth.CheckRoleAccess(role, dn, 3)
        Next
    Case kNullRole
        For i = 1 To calls
            x = nul.CheckRoleAccess(role, dn, 3)
        Next
    Case kDict
        For i = 1 To calls
            x = dict.Item("Pump")
        Next
    End Select
    TimeBody = (clock.Seconds - start) * 1000000 / calls
End Function

Dim us
For r = 1 To rounds
    For k = 0 To 7
        us = TimeBody(k)
        If us < best(k) Then best(k) = us
    Next
Next

Function Pad(text, width)
    Pad = text & Space(width - Len(text))
End Function

' Two decimals, without FormatNumber's locale.
Function Fixed(value, width)
    Dim n
    n = Int(value * 100 + 0.5)
    Fixed = Right(Space(width) & (n \ 100) & "." & Right("0" & (n Mod 100), 2), width)
End Function

Sub Row(what, value, reference, referenceName, target)
    WScript.Echo "  " & Pad(what, 44) & " " & Fixed(value, 10) & " us/call  " & _
        Fixed(value / reference, 7) & "x " & Pad(referenceName, 30) & " " & target
End Sub

WScript.Echo "Late-bound checks from VBScript (best of " & rounds & " interleaved rounds of " & calls & _
    " calls; PLANT\alice on"
WScript.Echo """" & dn & """, permission 3, default policy)"
Row "empty loop (x = True)", best(kLoop), best(kLoop), "itself", ""
Row "Scripting.Dictionary.Item", best(kDict), best(kDict), "itself", ""
Row "do-nothing object CheckAccessEx", best(kNullEx), best(kDict), "Scripting.Dictionary.Item", ""
Row "module CheckAccessEx", best(kModuleEx), best(kNullEx), "do-nothing CheckAccessEx", "target <= 1.15"
Row "do-nothing object CheckAccess", best(kNull), best(kDict), "Scripting.Dictionary.Item", ""
Row "module CheckAccess", best(kModule), best(kNull), "do-nothing CheckAccess", "target <= 1.15"
Row "do-nothing object CheckRoleAccess", best(kNullRole), best(kDict), "Scripting.Dictionary.Item", ""
Row "module CheckRoleAccess", best(kModuleRole), best(kNullRole), "do-nothing CheckRoleAccess", "target <= 1.15"
