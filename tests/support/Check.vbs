
' What every script test shares, appended to the script when it is built:
' Check counts a condition that does not hold and says what was expected;
' Done prints "PASS" when every check held. failures starts out Empty,
' which counts as 0.
Dim failures
Sub Check(condition, what)
    If Not condition Then
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub
Sub Done()
    If failures = 0 Then WScript.Echo "PASS"
End Sub
