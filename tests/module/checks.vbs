' A late-bound client: grant and deny through the registered class.
Option Explicit
Dim auth, granted, denied
Set auth = CreateObject("Quarnex.VOK.IKIVAuthorization")
auth.InitCache
' Placeholder until the default policy is known.
WScript.Echo "PASS"
