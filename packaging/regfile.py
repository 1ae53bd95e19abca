#!/usr/bin/env python3
"""Registry exports (`reg export`, .reg text) read, compared and normalised.

  regfile.py diff BEFORE.reg AFTER.reg [-KEY...] [~KEY...]
      what changed between two exports, leaving out the keys given with a
      leading "-" and everything under them, and keys without values added
      under those given with "~" (containers that the installer keeps): one
      line per added, removed or changed key and value; exits 1 when
      anything did.
  regfile.py capture BEFORE.reg AFTER.reg INSTALLDIR OUT.json NAME
      what one DLL's registration added under HKLM\\Software\\Classes,
      as installer data, into OUT.json under NAME: the install folder
      becomes a token, the type library's platform key too, so that one
      capture serves both architectures.
"""
import json
import sys

CLASSES = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"


def read(path):
    """{key (as written): {value name ('' for the default): raw value text}}."""
    raw = open(path, "rb").read()
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le")
    else:
        text = raw.decode("utf-8", errors="strict")
    keys = {}
    current = None
    pending = ""
    for line in text.replace("\r\n", "\n").split("\n"):
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and not line.startswith("["):
            # A hex value goes on over several lines.
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif current is not None and line and (line.startswith('"') or line.startswith("@")):
            name, value = split_value(line)
            current[name] = value
    return keys


def split_value(line):
    if line.startswith("@="):
        return "", line[2:]
    # "name"=value, the name with \\ and \" escaped.
    i = 1
    name = []
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line):
            name.append(line[i + 1])
            i += 2
            continue
        if c == '"':
            break
        name.append(c)
        i += 1
    return "".join(name), line[i + 2:]


def fold(keys):
    """Keys and value names compared as the registry does: without case."""
    return {k.lower(): (k, {n.lower(): (n, v) for n, v in vals.items()}) for k, vals in keys.items()}


def under(k, prefixes):
    return any(k == p or k.startswith(p + "\\") for p in prefixes)


def diff(before, after, left_out=(), containers=()):
    b, a = fold(before), fold(after)
    left_out = [p.lower() for p in left_out]
    containers = [p.lower() for p in containers]

    def in_scope(k):
        return not under(k, left_out)

    lines = []
    for k in sorted(set(b) | set(a)):
        if not in_scope(k):
            continue
        if k not in b:
            if not a[k][1] and under(k, containers):
                continue
            lines.append("+ [%s]" % a[k][0])
            for n, v in sorted(a[k][1].values()):
                lines.append("+   %s = %s" % (n or "@", v))
        elif k not in a:
            lines.append("- [%s]" % b[k][0])
        else:
            bv, av = b[k][1], a[k][1]
            for n in sorted(set(bv) | set(av)):
                if n not in bv:
                    lines.append("+ [%s] %s = %s" % (a[k][0], av[n][0] or "@", av[n][1]))
                elif n not in av:
                    lines.append("- [%s] %s = %s" % (b[k][0], bv[n][0] or "@", bv[n][1]))
                elif bv[n][1] != av[n][1]:
                    lines.append("~ [%s] %s = %s (was %s)" % (a[k][0], av[n][0] or "@", av[n][1], bv[n][1]))
    return lines


def reg_string(value):
    """The text of a REG_SZ value as exported: "..." with \\\\ and \\" escaped."""
    if not (value.startswith('"') and value.endswith('"')):
        raise ValueError("only string values are expected from registration: %s" % value)
    out, i, body = [], 0, value[1:-1]
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            out.append(body[i + 1])
            i += 2
        else:
            out.append(body[i])
            i += 1
    return "".join(out)


def capture(before, after, installdir):
    """Keys added under Classes, relative to it, in order, with their
    string values; the install folder becomes [INSTALLDIR] and the type
    library's win32/win64 key [TYPELIB_PLATFORM]."""
    b, a = fold(before), fold(after)
    folder = installdir.rstrip("\\").lower()
    entries = []
    for k in sorted(a):
        if not k.startswith(CLASSES.lower()):
            continue
        name, values = a[k]
        old = b.get(k, (None, {}))[1]
        added = {n: v for n, v in values.values() if n.lower() not in old or old[n.lower()][1] != v}
        if k in b and not added:
            continue
        rel = name[len(CLASSES):]
        parts = rel.split("\\")
        if len(parts) == 5 and parts[0].lower() == "typelib" and parts[4].lower() in ("win32", "win64"):
            parts[4] = "[TYPELIB_PLATFORM]"
        out = {}
        for n, v in sorted(added.items()):
            text = reg_string(v)
            if text.lower().startswith(folder):
                text = "[INSTALLDIR]" + text[len(folder):].lstrip("\\")
            out[n] = text
        entries.append({"key": "\\".join(parts), "values": out})
    return entries


def main(argv):
    if len(argv) >= 3 and argv[0] == "diff":
        if any(a[:1] not in "-~" for a in argv[3:]):
            print(__doc__, file=sys.stderr)
            return 2
        lines = diff(read(argv[1]), read(argv[2]), [a[1:] for a in argv[3:] if a[0] == "-"],
                     [a[1:] for a in argv[3:] if a[0] == "~"])
        for line in lines:
            print(line)
        return 1 if lines else 0
    if len(argv) == 6 and argv[0] == "capture":
        entries = capture(read(argv[1]), read(argv[2]), argv[3])
        if not entries:
            print("regfile: %s registered nothing under %s" % (argv[5], CLASSES), file=sys.stderr)
            return 1
        try:
            captured = json.load(open(argv[4]))
        except FileNotFoundError:
            captured = {}
        captured[argv[5]] = entries
        with open(argv[4], "w") as f:
            json.dump(captured, f, indent=1)
            f.write("\n")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
