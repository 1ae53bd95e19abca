// JScript's Enumerator asks for _NewEnum as a method: the collection must
// answer it as the property it is.
var roles = new ActiveXObject("Authorization.KQSecRolesCollection");
var count = 0;
try {
    for (var e = new Enumerator(roles); !e.atEnd(); e.moveNext()) count++;
    if (count == 0 && roles.Count == 0 && roles.ReadOnly == false) {
        WScript.Echo("PASS");
    } else {
        WScript.Echo("FAIL: " + count + " roles enumerated, Count " + roles.Count);
    }
} catch (error) {
    WScript.Echo("FAIL: " + error.message + " (" + (error.number >>> 0).toString(16) + ")");
}
