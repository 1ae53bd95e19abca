' A late-bound client of the registered authorization object against the
' default plant policy: grants and denials, roles as arrays, security ids.
Option Explicit
Dim auth, roles, names, ids, id
Const Pump = "CN=Pump P-101,OU=Area 1,O=Plant"
Const Recipes = "CN=Recipes,OU=Batch,O=Plant"

Set auth = CreateObject("Quarnex.VOK.IKIVAuthorization")
auth.InitCacheEx "PLANT", "alice"
Check auth.CheckAccessEx("PLANT", "alice", Pump, 3) = True, "alice may read and operate the pump"
Check auth.CheckAccessEx("PLANT", "alice", Pump, 4) = False, "alice may not configure the pump"
Check auth.CheckAccess(Pump, 1) = True, "the cached user may read the pump"
Check auth.CheckRoleAccess("Supervisors", Recipes, 7) = True, "supervisors configure recipes"
Check auth.CheckRoleAccess("Operators", Recipes, 4) = False, "operators do not configure recipes"
Check auth.CheckAccessEx("PLANT", "mallory", Pump, 1) = False, "an unknown account is denied"

' Arrays of VARIANTs with lower bound 1 for the Var twins.
roles = auth.RolesVar("PLANT", "alice")
Check VarType(roles) = vbArray + vbVariant, "RolesVar gives an array of VARIANTs, got " & VarType(roles)
Check LBound(roles) = 1, "RolesVar starts at 1"
Check UBound(roles) = 1, "alice has one role"
Check roles(1) = "Operators", "alice is an operator"

auth.GetAllRoles names, ids
Check VarType(names) = vbArray + vbString, "GetAllRoles hands over the library's strings"
' Wine's VBScript indexes only arrays of VARIANTs: the Var twin is for scripts.
auth.GetAllRolesVar names, ids
Check VarType(ids) = vbArray + vbVariant, "GetAllRolesVar converts"
Check LBound(names) = 1 And UBound(names) = 4, "four roles in the plant, from 1"
Check Left(ids(1), 1) = "{", "role ids are GUIDs in braces"

Check auth.GetSecurityId("Plant Console", "Areas", "Area 1") = "SO-0101", "a known object's id"
Check auth.GetSecurityId("Plant Console", "Areas", "Nowhere") = "SID-0000", "the catch-all id"
Check IsNull(auth.RegAuthDefaultDomain) Or auth.RegAuthDefaultDomain = "", "no default domain configured"

Done
