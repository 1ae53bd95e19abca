// JScript's Enumerator asks for _NewEnum as a method: the collection must
// answer it as the property it is. A failure reaches the script with the
// module's own text and code.
var roles = new ActiveXObject("Authorization.KQSecRolesCollection");
var count = 0;
var failures = [];
try {
    for (var e = new Enumerator(roles); !e.atEnd(); e.moveNext()) count++;
    if (count != 0 || roles.Count != 0 || roles.ReadOnly != false)
        failures.push(count + " roles enumerated, Count " + roles.Count);
} catch (error) {
    failures.push(error.message + " (" + (error.number >>> 0).toString(16) + ")");
}
try {
    roles.ItemPos(5);
    failures.push("ItemPos(5) of no roles succeeded");
} catch (error) {
    if ((error.number >>> 0) != 0x80041009)
        failures.push("ItemPos(5): code " + (error.number >>> 0).toString(16));
    if (error.message != "Invalid position. Total Roles = 0. Asked position = 5.")
        failures.push("ItemPos(5): message '" + error.message + "'");
}
WScript.Echo(failures.length ? "FAIL: " + failures.join("; ") : "PASS");
