' A first client: may alice of PLANT read and operate (1 + 2) the pump?
Set auth = CreateObject("Quarnex.VOK.IKIVAuthorization")
auth.InitCacheEx "PLANT", "alice"
If auth.CheckAccessEx("PLANT", "alice", "CN=Pump P-101,OU=Area 1,O=Plant", 3) Then
    WScript.Echo "alice may read and operate the pump"
Else
    WScript.Echo "alice may not read and operate the pump"
End If
