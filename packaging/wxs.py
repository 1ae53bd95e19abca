#!/usr/bin/env python3
"""Writes the installer source (.wxs, for wixl) of one architecture.

  wxs.py ARCH VERSION REGISTRATION.json OUT.wxs

The files that go in (the DLLs and demo.vbs) are named relative to the
folder wixl runs in. REGISTRATION is what the DLLs' own registration writes
(packaging/capture-registration), which goes in as registry data: nothing
of ours runs at install time. wixl writes no registry key without a value,
so those go into OUT.wxs.sql, queries for msibuild to add afterwards.
"""
import json
import sys
import uuid
from xml.sax.saxutils import quoteattr

# One per architecture, for ever: a major upgrade finds the installed
# product of its own architecture by it, and the two install side by side.
UPGRADE_CODES = {
    "x86": "F5A96AFB-6DB2-4561-92AB-510F8802E9AF",
    "x64": "6F5AA256-1C23-4DF5-932A-093A4805836B",
}
# Component codes derive from this, the architecture and the component's
# name, so that they stay the same from one version to the next; product
# codes from the architecture and the version.
COMPONENT_NAMESPACE = uuid.UUID("D67ECE55-D745-4103-B0BD-05E99D45E2E7")

# (file, feature): the module alone is one feature; the stand-ins of the
# closed library, the audit support and the security-database client another,
# which a site with the real components leaves out.
FILES = [
    ("Authorization.dll", "Module"),
    ("KivAuth.dll", "StandIns"),
    ("KQSecSupport.dll", "StandIns"),
    ("SecClient.dll", "StandIns"),
]


def product_code(arch, version):
    # One per architecture and version: a package of the same version finds
    # itself installed (and repairs), where a fresh code each time would
    # install a second product beside the first.
    return str(uuid.uuid5(COMPONENT_NAMESPACE, "product/%s/%s" % (arch, version))).upper()


def component_guid(arch, name):
    return str(uuid.uuid5(COMPONENT_NAMESPACE, arch + "/" + name)).upper()


def ident(name):
    return "".join(c if c.isalnum() else "_" for c in name)


OTHER_VIEW = "wow6432node\\"


EMPTY_KEYS = []


def registry(entries, indent, component, keypath=False):
    out = []
    for entry in entries:
        key = entry["key"].replace("[TYPELIB_PLATFORM]", PLATFORM)
        if key.lower().startswith(OTHER_VIEW):
            key = key[len(OTHER_VIEW):]
        values = entry["values"]
        if not values:
            # An empty key goes with the component: "*" creates it and
            # takes it away on removal, where "+" would leave it behind.
            EMPTY_KEYS.append((key, component))
            continue
        for name, value in sorted(values.items()):
            name_attr = "" if name == "" else " Name=%s" % quoteattr(name)
            keypath_attr = ' KeyPath="yes"' if keypath and not out else ""
            out.append('%s<RegistryValue Root="HKCR" Key=%s%s Type="string" Value=%s%s/>'
                       % (indent, quoteattr(key), name_attr, quoteattr(value), keypath_attr))
    return out


def main(argv):
    global PLATFORM
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    arch, version, registration, out = argv
    PLATFORM = "win64" if arch == "x64" else "win32"
    win64 = ' Win64="yes"' if arch == "x64" else ""
    program_files = "ProgramFiles64Folder" if arch == "x64" else "ProgramFilesFolder"
    captured = json.load(open(registration))
    bits = "64-bit" if arch == "x64" else "32-bit"

    lines = [
        '<?xml version="1.0" encoding="utf-8"?>',
        '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
        '  <Product Id="%s" Name="Authorization (%s)" Language="1033" Version="%s"'
        % (product_code(arch, version), bits, version),
        '           Manufacturer="Authorization" UpgradeCode="%s">' % UPGRADE_CODES[arch],
        '    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"',
        '             Description="Authorization COM server, %s (%s)"/>' % (bits, arch),
        '    <Media Id="1" Cabinet="authorization.cab" EmbedCab="yes"/>',
        '    <MajorUpgrade DowngradeErrorMessage="A newer version of Authorization (%s) is already installed."/>'
        % bits,
        '    <Directory Id="TARGETDIR" Name="SourceDir">',
        '      <Directory Id="%s">' % program_files,
        '        <Directory Id="INSTALLDIR" Name="Authorization">',
        '          <Directory Id="EXAMPLES" Name="Examples"/>',
        '        </Directory>',
        '      </Directory>',
        '    </Directory>',
    ]
    components = {"Module": [], "StandIns": []}
    lines.append('    <DirectoryRef Id="INSTALLDIR">')
    for name, feature in FILES:
        cid = "c_" + ident(name)
        components[feature].append(cid)
        lines.append('      <Component Id="%s" Guid="%s"%s>' % (cid, component_guid(arch, name), win64))
        lines.append('        <File Id="%s" Name="%s" Source="%s" KeyPath="yes"/>'
                     % (ident(name), name, name))
        entries = captured.get(name, [])
        own = [e for e in entries if not e["key"].lower().startswith(OTHER_VIEW)]
        other = [e for e in entries if e["key"].lower().startswith(OTHER_VIEW)]
        lines += registry(own, "        ", cid)
        lines.append('      </Component>')
        # A 64-bit type library's registration writes its interfaces into
        # the 32-bit view too; a 32-bit package has no component that may
        # reach the 64-bit view, and 32-bit registration writes there only
        # under WOW64.
        if other and arch == "x64":
            wid = cid + "_32"
            components[feature].append(wid)
            lines.append('      <Component Id="%s" Guid="%s">' % (wid, component_guid(arch, name + "/32")))
            lines += registry(other, "        ", wid, keypath=True)
            lines.append('      </Component>')
    # Removed with the last component, so that no empty folder stays.
    lines.append('      <Component Id="c_installdir" Guid="%s"%s>'
                 % (component_guid(arch, "installdir"), win64))
    lines.append('        <CreateFolder/>')
    lines.append('        <RemoveFolder Id="r_installdir" On="uninstall"/>')
    lines.append('      </Component>')
    lines.append('    </DirectoryRef>')
    components["Module"].append("c_installdir")
    lines.append('    <DirectoryRef Id="EXAMPLES">')
    lines.append('      <Component Id="c_demo" Guid="%s"%s>' % (component_guid(arch, "demo.vbs"), win64))
    lines.append('        <File Id="demo.vbs" Name="demo.vbs" Source="demo.vbs" KeyPath="yes"/>')
    lines.append('        <RemoveFolder Id="r_examples" On="uninstall"/>')
    lines.append('      </Component>')
    lines.append('    </DirectoryRef>')
    components["Module"].append("c_demo")
    features = [
        ("Module", "Authorization module", "The COM server and the example script."),
        ("StandIns", "Stand-ins", "The closed library, audit-support and security-database "
         "client stand-ins; leave them out where the real components are installed."),
    ]
    for fid, title, description in features:
        lines.append('    <Feature Id="%s" Title=%s Description=%s Level="1">'
                     % (fid, quoteattr(title), quoteattr(description)))
        for cid in components[fid]:
            lines.append('      <ComponentRef Id="%s"/>' % cid)
        lines.append('    </Feature>')
    lines += ['  </Product>', '</Wix>', '']
    with open(out, "w") as f:
        f.write("\n".join(lines))
    with open(out + ".sql", "w") as f:
        for n, (key, component) in enumerate(EMPTY_KEYS):
            if "'" in key:
                raise ValueError("a key with a quote: %s" % key)
            f.write("INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) "
                    "VALUES ('empty_key_%d', 0, '%s', '*', '%s')\n" % (n, key, component))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
