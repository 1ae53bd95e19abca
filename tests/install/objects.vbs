' Every class of the package, created by its ProgID as a client of the
' installed files would, and one answer from each.
Option Explicit
Dim auth, ex, role, roles, client
Const Pump = "CN=Pump P-101,OU=Area 1,O=Plant"

Set auth = CreateObject("Quarnex.VOK.IKIVAuthorization")
auth.InitCacheEx "PLANT", "alice"
Check auth.CheckAccessEx("PLANT", "alice", Pump, 3) = True, "alice may read and operate the pump"
Check auth.CheckAccessEx("PLANT", "alice", Pump, 4) = False, "alice may not configure the pump"
Set auth = CreateObject("Authorization.IKIVAuthorization")
auth.InitCacheEx "PLANT", "alice"
Check auth.CheckRoleAccess("Maintenance", Pump, 4) = True, "maintenance configures the pump"

Set ex = CreateObject("Quarnex.VOK.AuthorizationEx")
ex.InitCacheEx "PLANT", "bob"
Check ex.CheckAccessEx("PLANT", "bob", Pump, 6) = True, "bob operates and configures the pump"

' The type library names the classes' interfaces: found through the
' registered library.
Set role = CreateObject("Authorization.KQSecRole")
Check TypeName(role) = "IKQSecRole", "a role, got " & TypeName(role)
Set roles = CreateObject("Authorization.KQSecRolesCollection")
Check TypeName(roles) = "IKQSecRolesCollection", "a roles collection, got " & TypeName(roles)

Set client = CreateObject("Authorization.SecClientStandIn")
Check client.CallCount = 0, "a new client has made no call"

Done
