' "Set auth.AuthSecClient = x" arrives as a put-by-reference: it must reach
' the property put, which then judges the object.
Option Explicit
Dim auth

Set auth = CreateObject("Quarnex.VOK.IKIVAuthorization")

On Error Resume Next
Set auth.AuthSecClient = CreateObject("Scripting.Dictionary")
' The property put answers E_NOINTERFACE with an error object of its own;
' a put that never reached the property would be 438 (member not found).
Check Err.Number = &H80004002, "an object without the client interface: E_NOINTERFACE, got " & Hex(Err.Number)
Check Err.Source = "Quarnex.VOK.IKIVAuthorization", "the error's source, got " & Err.Source
Check Len(Err.Description) > 0, "the error's description is given"
Err.Clear
Dim client
Set client = auth.AuthSecClient
Check Err.Number = &H80004005, "nothing attached afterwards: E_FAIL, got " & Hex(Err.Number)
Err.Clear
Set auth.AuthSecClient = Nothing
Check Err.Number = 0, "detaching with Nothing succeeds, got " & Hex(Err.Number)
Err.Clear
On Error Goto 0

Done
