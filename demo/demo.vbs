' Access checks through the Authorization module against the default plant
' policy: by user, by role, and for the user the cache was loaded for.
' Each row also states the answer the policy calls for; a row that differs
' is marked and the script ends with exit code 1.
Option Explicit

Const PUMP = "CN=Pump P-101,OU=Area 1,O=Plant"
Const MIXER = "CN=Mixer M-201,OU=Area 2,O=Plant"
Const RECIPES = "CN=Recipes,OU=Batch,O=Plant"
Const ALARMS = "CN=Alarm Log,O=Plant"

Dim auth, rows, surprises

' The script host reports no uncaught error: say it here and fail.
Sub Check(what)
    If Err.Number <> 0 Then
        WScript.Echo what & " failed: 0x" & Hex(Err.Number) & " " & Err.Description
        WScript.Quit 1
    End If
End Sub

On Error Resume Next
Set auth = CreateObject("Quarnex.VOK.IKIVAuthorization")
Check "CreateObject(""Quarnex.VOK.IKIVAuthorization"")"
On Error GoTo 0
rows = 0
surprises = 0

Function Pad(text, width)
    If Len(text) >= width Then
        Pad = text & " "
    Else
        Pad = text & Space(width - Len(text))
    End If
End Function

Function ObjectName(dn)
    Select Case LCase(dn)
        Case LCase(PUMP): ObjectName = "Pump"
        Case LCase(MIXER): ObjectName = "Mixer"
        Case LCase(RECIPES): ObjectName = "Recipes"
        Case LCase(ALARMS): ObjectName = "Alarm Log"
        Case Else: ObjectName = dn
    End Select
End Function

Function PermissionText(permission)
    Dim names, bits, i, text
    names = Array("Read", "Operate", "Configure", "Administer")
    bits = Array(1, 2, 4, 8)
    text = ""
    For i = 0 To 3
        If (permission And bits(i)) <> 0 Then
            If text <> "" Then text = text & "+"
            text = text & names(i)
        End If
    Next
    PermissionText = text & " (" & permission & ")"
End Function

Sub Row(who, dn, permission, granted, expected, why)
    Dim answer, mark
    rows = rows + 1
    If granted Then answer = "granted" Else answer = "denied"
    mark = ""
    If granted <> expected Then
        mark = "  <-- not what the policy says"
        surprises = surprises + 1
    End If
    WScript.Echo "  " & Pad(who, 15) & Pad(ObjectName(dn), 10) & Pad(PermissionText(permission), 27) & _
                 Pad(answer, 8) & why & mark
End Sub

Sub Heading(title, firstColumn)
    WScript.Echo ""
    WScript.Echo title
    WScript.Echo "  " & Pad(firstColumn, 15) & Pad("Object", 10) & Pad("Asks for", 27) & Pad("Answer", 8) & "Why"
    WScript.Echo "  " & String(14, "-") & " " & String(9, "-") & " " & String(26, "-") & " " & _
                 String(7, "-") & " " & String(32, "-")
End Sub

Sub ByUser(domain, user, dn, permission, expected, why)
    Row domain & "\" & user, dn, permission, auth.CheckAccessEx(domain, user, dn, permission), expected, why
End Sub

Sub ByRole(role, dn, permission, expected, why)
    Row role, dn, permission, auth.CheckRoleAccess(role, dn, permission), expected, why
End Sub

Sub ForCachedUser(dn, permission, expected, why)
    Row "(PLANT\alice)", dn, permission, auth.CheckAccess(dn, permission), expected, why
End Sub

WScript.Echo "Authorization demo: the default plant policy"
WScript.Echo "============================================"
WScript.Echo "Objects:     Pump      = " & PUMP
WScript.Echo "             Mixer     = " & MIXER
WScript.Echo "             Recipes   = " & RECIPES
WScript.Echo "             Alarm Log = " & ALARMS
WScript.Echo "Permissions: 1 Read, 2 Operate, 4 Configure, 8 Administer; a check asks for"
WScript.Echo "             all of its bits, from the user's own grants and roles together."

On Error Resume Next
auth.InitCacheEx "PLANT", "alice"
Check "InitCacheEx"
On Error GoTo 0

Heading "By user: CheckAccessEx(Domain, UserName, DN, Permission)", "User"
ByUser "PLANT", "alice", PUMP, 3, True, "Operators, via group Shift A"
ByUser "PLANT", "alice", PUMP, 4, False, "Operators may not configure"
ByUser "PLANT", "bob", PUMP, 6, True, "Maintenance 5 + own grant 2"
ByUser "PLANT", "bob", MIXER, 2, False, "Maintenance holds Read+Configure"
ByUser "PLANT", "carol", RECIPES, 7, True, "Supervisors"
ByUser "PLANT", "carol", RECIPES, 8, False, "nobody administers recipes"
ByUser "PLANT", "dave", ALARMS, 1, True, "Auditors"
ByUser "PLANT", "dave", PUMP, 1, False, "Auditors have no grant there"
ByUser "PLANT", "erin", ALARMS, 1, True, "own grant, no role"
ByUser "plant", "FRANK", LCase(ALARMS), 1, True, "Operators; names in any case"
ByUser "PLANT", "mallory", ALARMS, 1, False, "unknown account"

Heading "By role: CheckRoleAccess(RoleName, DN, Permission)", "Role"
ByRole "Operators", MIXER, 2, True, "holds Read+Operate there"
ByRole "Operators", RECIPES, 4, False, "holds Read only there"
ByRole "Maintenance", PUMP, 4, True, "holds Read+Configure there"
ByRole "Supervisors", ALARMS, 9, True, "holds Read+Administer there"
ByRole "Auditors", RECIPES, 2, False, "holds Read only there"
ByRole "Guests", ALARMS, 1, False, "no such role"

Heading "For the cached user: InitCacheEx ""PLANT"", ""alice"", then CheckAccess(DN, Permission)", "User"
ForCachedUser PUMP, 1, True, "Operators"
ForCachedUser MIXER, 3, True, "Operators"
ForCachedUser RECIPES, 4, False, "Operators hold Read only"
ForCachedUser ALARMS, 1, True, "Operators"
auth.ClearCache
ForCachedUser PUMP, 1, False, "after ClearCache: no cache"

' Role administration: a rejected request becomes audit events, one for
' each level that passes the failure on, in the audit component's log.
Function JsonField(line, name)
    Dim re, found
    Set re = New RegExp
    re.Pattern = """" & name & """:""((?:[^""\\]|\\.)*)"""
    Set found = re.Execute(line)
    If found.Count = 0 Then JsonField = "" Else JsonField = found(0).SubMatches(0)
End Function

Sub Attempt(what, expectedCode)
    rows = rows + 1
    Dim mark
    mark = ""
    If Err.Number <> expectedCode Then
        mark = "  <-- expected 0x" & Hex(expectedCode)
        surprises = surprises + 1
    End If
    WScript.Echo "  " & Pad(what, 40) & " 0x" & Hex(Err.Number) & mark
    Err.Clear
End Sub

Dim roles, cacheTime, role, logPath, fso, log, line, events
WScript.Echo ""
WScript.Echo "Role administration: every rejected request is an audit event"
WScript.Echo "  Call                                     Result"
WScript.Echo "  ---------------------------------------- ----------"
auth.InitCache
cacheTime = auth.RolesColl(roles)
On Error Resume Next
Set role = roles.Add("Sales/East")
Attempt "roles.Add ""Sales/East""", &H80041004
Set role = roles.Add("  Operators  ")
Attempt "roles.Add ""  Operators  """, &H80041008
Set role = roles.ItemPos(roles.Count)
Attempt "roles.ItemPos " & roles.Count, &H80041009
On Error GoTo 0

' The expansion may end in a NUL under Wine: keep the text before it.
logPath = CreateObject("WScript.Shell").ExpandEnvironmentStrings("%KQSECSUPPORT_AUDIT_LOG%")
If InStr(logPath, Chr(0)) > 0 Then logPath = Left(logPath, InStr(logPath, Chr(0)) - 1)
Set fso = CreateObject("Scripting.FileSystemObject")
WScript.Echo ""
WScript.Echo "The audit log (" & logPath & "):"
events = 0
If fso.FileExists(logPath) Then
    Set log = fso.OpenTextFile(logPath, 1)
    Do Until log.AtEndOfStream
        line = log.ReadLine
        events = events + 1
        WScript.Echo "  " & Pad(JsonField(line, "operation"), 31) & " " & JsonField(line, "code") & _
                     "  " & Replace(JsonField(line, "message"), "\r\n", " ")
    Loop
    log.Close
End If
rows = rows + 1
If events <> 4 Then
    WScript.Echo "  <-- expected 4 events, found " & events
    surprises = surprises + 1
End If

WScript.Echo ""
If surprises = 0 Then
    WScript.Echo "All " & rows & " answers are what the policy says."
Else
    WScript.Echo surprises & " of " & rows & " answers differ from the policy."
    WScript.Quit 1
End If
