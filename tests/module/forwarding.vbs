' The forwarding object, late-bound, against the real inner class: checks,
' queries and the arrays it converts.
Option Explicit
Dim ex, roles, names, ids
Const Pump = "CN=Pump P-101,OU=Area 1,O=Plant"

Set ex = CreateObject("Quarnex.VOK.AuthorizationEx")
ex.InitCacheEx "PLANT", "bob"
Check ex.CheckAccessEx("PLANT", "bob", Pump, 6) = True, "bob operates and configures the pump"
Check ex.CheckAccess(Pump, 8) = False, "the cached user does not administer the pump"
Check ex.CheckRoleAccess("Maintenance", Pump, 4) = True, "maintenance configures the pump"

' Both names of each query give arrays of VARIANTs from 1.
roles = ex.Roles("PLANT", "bob")
Check VarType(roles) = vbArray + vbVariant, "Roles is converted, got " & VarType(roles)
Check LBound(roles) = 1 And roles(1) = "Maintenance", "bob is in maintenance"
roles = ex.RolesVar("PLANT", "bob")
Check LBound(roles) = 1 And roles(1) = "Maintenance", "RolesVar gives the same"
ex.GetAllRoles names, ids
Check VarType(names) = vbArray + vbVariant, "GetAllRoles is converted"
Check LBound(ids) = 1 And UBound(ids) = 4, "four role ids from 1"
ex.GetSecureGroups "Plant Console", names, ids
Check UBound(names) = 2 And names(1) = "Areas", "two secure groups"
Check ex.GetSecurityId("Plant Console", "Reports", "Shift Report") = "SO-0201", "an object's id"

Done
