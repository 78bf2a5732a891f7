#!/usr/bin/env python3
"""The corpus of run_reg_compare.sh, and Wine's side of its comparison.
  reg_corpus.py make DIR [EXPORT...]
      writes the generated files, the fuzz seeds of fuzz_reg_file and the
      given exports (fixture_*) into DIR, each with its keys moved below
      HKLM\\SYSTEM\\QarnRegCompare\\<its name>; a name ending in _932 is in or
      for code page 932, any other 1252
  reg_corpus.py compare WINE_EXPORT OURS...
      the differences between Wine's export and each of reg_dump's outputs
      OURS (NAME.reg.ours: the keys of NAME.reg), "NAME.reg<TAB>difference"
      a line; Wine's export "" where it has no keys. String data is compared
      without the NUL that ends it: regedit /e writes a REG_SZ as "text"
      with that NUL or without."""
import glob
import os
import sys

BASE = "HKEY_LOCAL_MACHINE\\SYSTEM\\QarnRegCompare\\"
V5 = "Windows Registry Editor Version 5.00"


def hexdata(head, data):
    """A hex value wrapped as regedit wraps it, lines continued with '\\'."""
    out, line = [], head
    for i, byte in enumerate(data):
        line += "%02x" % byte + ("," if i + 1 < len(data) else "")
        if len(line) > 76 and i + 1 < len(data):
            out.append(line + "\\")
            line = "  "
    return out + [line]


def types(unicode):
    def text(s):
        return s.encode("utf-16-le" if unicode else "cp1252")
    return [["[{key}]", "; a comment", '@="default"', '"Text"="a \\"quoted\\" \\\\ text"',
             '"Empty"=""', '"Number"=dword:0000002a', '"Short"=dword:1f']
            + hexdata('"Binary"=hex:', bytes(range(100)))
            + hexdata('"Expand"=hex(2):', text("%SystemRoot%\\system32\0"))
            + hexdata('"Multi"=hex(7):', text("one\0two\0\0"))
            + ['"Qword"=hex(b):01,02,03,04,05,06,07,08', '"None"=hex(0):', '"EmptyBinary"=hex:',
               '"Custom"=hex(100000):01,02'],
            ["[{key}\\Empty\\Deep\\Deeper]"]]


JAPANESE = [["[{key}\\\u65e5\u672c\u8a9e\\\u30bd\u30d5\u30c8]",  # ソ and 表: trail byte 0x5C
             '"\u540d\u524d"="\u30bd\u30d5\u30c8\u8868\u793a"', '"\u8868"=dword:00000001',
             '"\uff76\uff80\uff76\uff85"="half-width"', '"\uff41\uff42"="1"', '"\uff21\uff22"="1"']]
LATIN1 = [["[{key}\\Gr\u00f6\u00dfe\\Caf\u00e9]",
           '"Gr\u00f6\u00dfe"="\u00dcn\u00efc\u00f6d\u00e9 \u20ac"', '"na\u00efve"="\u00e7\u00e0"']]
# name: (encoding, line end, key blocks); "{key}" is the file's own key.
FILES = {
    "types_utf16_crlf": ("utf-16", "\r\n", types(True)),
    "types_utf16_lf": ("utf-16", "\n", types(True)),
    "types_regedit4_crlf": ("cp1252", "\r\n", types(False)),
    "types_regedit4_lf": ("cp1252", "\n", types(False)),
    "odd_utf16": ("utf-16", "\r\n", [["[{key}]", '"Odd"=hex(2):41,00,42', '"NoNul"=hex(1):41,00']]),
    "escapes_utf16": ("utf-16", "\r\n", [["[{key}]", '"Newline"="a\\nb"', '"Tab"="a\\tb"',
                                          '"Control\x01\u00a0"="\x01"']]),
    "paths_utf16": ("utf-16", "\r\n", [["[{key}\\Doubled\\\\Separator]", '"v"="1"'],
                                       ["[{key}\\Trailing\\]", '"v"="2"']]),
    "longname_regedit4": ("cp1252", "\r\n", [["[{key}\\%s]" % ("x" * 256)], ["[{key}\\Next]"]]),
    "toolong_regedit4": ("cp1252", "\r\n", [["[{key}\\%s]" % ("x" * 257)], ["[{key}\\Next]"]]),
    "latin1_utf16": ("utf-16", "\r\n", LATIN1),
    "latin1_regedit4": ("cp1252", "\r\n", LATIN1),
    "latin1_utf16_932": ("utf-16", "\r\n", LATIN1),
    "japanese_utf16_932": ("utf-16", "\r\n", JAPANESE),
    "japanese_regedit4_932": ("cp932", "\r\n", JAPANESE),
    "chinese_utf16": ("utf-16", "\r\n", [["[{key}]", '"\u4e2d\u6587"="one"', '"\u6c49\u5b57"="two"']]),
    "chinese_keys_utf16": ("utf-16", "\r\n", [["[{key}\\\u4e2d\u6587]", '"a"="1"'],
                                              ["[{key}\\\u6c49\u5b57]", '"b"="2"']]),
    "fullwidth_utf16": ("utf-16", "\r\n", [
        ["[{key}\\R\uff3cDefaultLabel]", '@="label"'],
        ["[{key}\\Mounted]"] + hexdata('"\uff3cDosDevices\uff3cH:"=hex:', b"\\\0?\0?\0\\\0")]),
    "case_utf16": ("utf-16", "\r\n", [
        ["[{key}\\Mixed]", '"Name"="same"', '"caf\u00e9"="x"'], ["[{key}\\MIXED\\Sub]"],
        ["[{key}\\mixed]", '"NAME"="same"', '"CAF\u00c9"="x"', '"Other"="y"', '"\u0153"="1"',
         '"\u0152"="1"']]),
    "case_utf16_932": ("utf-16", "\r\n", [["[{key}\\\u03a9]", '"\u0414"="1"'],  # Greek, Cyrillic
                                           ["[{key}\\\u03c9]", '"\u0434"="1"', '"x"="2"']]),
    "case_more_utf16": ("utf-16", "\r\n", [["[{key}\\\u03ac]"], ["[{key}\\\u0386]"], ["[{key}\\\u0463]"], ["[{key}\\\u0462]"], ["[{key}\\\u0491]"], ["[{key}\\\u0490]"], ["[{key}\\\u0561]"], ["[{key}\\\u0531]"], ["[{key}\\\u01c6]"], ["[{key}\\\u01c4]"], ["[{key}\\\u1ea1]"], ["[{key}\\\u1ea0]"], ["[{key}\\\u2170]"], ["[{key}\\\u2160]"], ["[{key}\\\u24d0]"], ["[{key}\\\u24b6]"], ["[{key}\\\u03c2]"], ["[{key}\\\u03a3]"], ["[{key}\\\u0131]"], ["[{key}\\I]"], ["[{key}\\\u00b5]"], ["[{key}\\\u039c]"], ["[{key}\\\u00ff]"], ["[{key}\\\u0178]"], ["[{key}\\\u017f]"], ["[{key}\\S]"], ["[{key}\\\u10d0]"], ["[{key}\\\u10a0]"], ["[{key}\\\u0101]"], ["[{key}\\\u0100]"], ["[{key}\\\u0185]"], ["[{key}\\\u0184]"]]),
    "twice_regedit4": ("cp1252", "\r\n", [["[{key}\\Twice]", '"a"="1"'], ["[{key}\\Other]"],
                                          ["[{key}\\Twice]", '"b"="2"', '"a"="1"']]),
    "conflict_utf16": ("utf-16", "\r\n", [["[{key}]", '"a"="1"'], ["[{key}]", '"a"="2"']]),
    "deletions_utf16": ("utf-16", "\r\n", [
        ["[{key}\\Keep]", '"v"="1"', '"w"="2"'], ["[{key}\\Gone\\Sub]", '"x"="1"'],
        ["[-{key}\\Gone]"], ["[{key}\\Keep]", '"w"=-']]),
    "delvalue_regedit4": ("cp1252", "\n", [["[{key}]", '"v"="1"', '"w"="2"', '"w"=-']]),
}


def make(folder, exports):
    for name, (encoding, end, blocks) in FILES.items():
        lines = [V5 if encoding == "utf-16" else "REGEDIT4", ""]
        for block in blocks:
            lines += [line.replace("{key}", BASE + name) for line in block] + [""]
        body = end.join(lines) + end
        with open(os.path.join(folder, name + ".reg"), "wb") as out:
            out.write(("\ufeff" + body).encode("utf-16-le") if encoding == "utf-16"
                      else body.encode(encoding))
    # A fuzz seed's first byte selects the machine: bit 0 code page 932.
    seeds = os.path.join(os.path.dirname(__file__), "..", "fuzz", "corpus", "fuzz_reg_file", "*")
    for path in sorted(glob.glob(seeds)) + exports:
        with open(path, "rb") as f:
            data = f.read()
        name = "fixture_" + os.path.basename(path).replace(".reg", "")
        if path not in exports:
            name += "_932" if data[0] & 1 and not name.endswith("_932") else ""
            data = data[1:]
        for codec in ("utf-16-le", "latin-1"):  # the file's own encoding
            data = data.replace("[HKEY_LOCAL_MACHINE\\".encode(codec),
                                ("[%s%s\\" % (BASE, name)).encode(codec))
        with open(os.path.join(folder, name + ".reg"), "wb") as f:
            f.write(data)


def escape(s):
    return "".join(c if 0x20 <= ord(c) != 0x7F and not 0xD800 <= ord(c) < 0xE000
                   else "\\u{%04X}" % ord(c) for c in s)


def unquote(s, i):
    """The "..." text at s[i] with regedit's escapes undone, and the index after it."""
    out, i = [], i + 1
    while s[i] != '"':
        if s[i] == "\\":
            i += 1
            out.append({"n": "\n", "r": "\r", "0": "\0"}.get(s[i], s[i]))
        else:
            out.append(s[i])
        i += 1
    return "".join(out), i + 1


def wine_lines(path):
    """A regedit /e file in reg_dump's form."""
    with open(path, "rb") as f:
        text = f.read()[2:].decode("utf-16-le", "surrogatepass")
    lines = text.replace("\r\n", "\n").split("\n")
    key, out, i = None, [], 0
    while i < len(lines):
        line = lines[i]
        while line.endswith("\\") and not line.startswith("[") and i + 1 < len(lines):
            i += 1
            line = line[:-1] + lines[i].lstrip(" ")
        i += 1
        if line.startswith("[HKEY_LOCAL_MACHINE\\"):
            key = line[len("[HKEY_LOCAL_MACHINE\\"):-1]
            out.append("key\t" + escape(key))
        elif line[:1] in ('"', "@") and key is not None:
            name, at = ("", 1) if line[0] == "@" else unquote(line, 0)
            data = line[at + 1:]
            if data.startswith('"'):
                kind, raw = 1, (unquote(data, 0)[0] + "\0").encode("utf-16-le", "surrogatepass")
            elif data.startswith("dword:"):
                kind, raw = 4, int(data[6:], 16).to_bytes(4, "little")
            else:
                kind = int(data[4:data.index(")")], 16) if data.startswith("hex(") else 3
                digits = data[data.index(":") + 1:]
                raw = bytes(int(b, 16) for b in digits.split(",")) if digits else b""
            out.append("value\t%s\t%s\t%x\t%s" % (escape(key), escape(name), kind, raw.hex()))
    return out


def compare(ours_path, export):
    with open(ours_path, encoding="utf-8", errors="surrogateescape") as f:
        ours = f.read().splitlines()
    if ours and ours[0].startswith("refused\t"):
        return ["ours refused: " + ours[0].split("\t", 1)[1]]
    name = os.path.basename(ours_path)[:-len(".reg.ours")]
    root = ("SYSTEM\\QarnRegCompare\\" + name).upper()

    def table(lines, outside):
        """The lines below the file's key, by key path and value name up to case."""
        found = {}
        for line in lines:
            fields = line.split("\t")
            path = fields[1].upper()
            if fields[0] == "value" and fields[3] == "1" and len(fields[4]) % 4 == 0:
                fields[4] = fields[4][:-4] if fields[4].endswith("0000") else fields[4]
            if path == root or path.startswith(root + "\\"):
                found.setdefault("\t".join(fields[:3]).upper(), []).append(fields)
            elif outside and not root.startswith(path + "\\"):
                found.setdefault(path, []).append(["key outside the file's key", fields[1]])
        return found

    def what(x):
        return " ".join(x[:2]) + (' "%s"' % x[2] if x[0] == "value" else "")
    mine = table(ours, True)
    theirs = table(export, False)
    if not theirs:
        return ["Wine imported nothing"]
    out, only = [], {"ours": [], "Wine": []}  # keys one side lacks: not their contents too

    def within(side, x):
        return any(x[1].startswith(k + "\\") or x[0] == "value" and x[1] == k for k in only[side])
    for item in sorted(set(mine) | set(theirs)):
        a, b = mine.get(item, []), theirs.get(item, [])
        if len(a) == 1 and len(b) == 1 and a != b and a[0][:3] == b[0][:3]:
            how = ["%s:%s" % (x[3], x[4][:24] + "..." * (len(x[4]) > 24)) for x in a + b]
            out.append("differs: %s: ours %s, Wine %s" % (what(a[0]), how[0], how[1]))
        elif len(a) == 1 and len(b) == 1 and a != b and a[0][3:] == b[0][3:]:
            if not within("ours", a[0]):
                out.append("spelled: ours %s, Wine %s" % (what(a[0]), what(b[0])))
        else:
            for side, xs, others in (("ours", a, b), ("Wine", b, a)):
                for x in (x for x in xs if x not in others):
                    if not within(side, x):
                        out.append("only %s: %s" % (side, what(x)))
                    only[side] += [x[1]] if x[0] != "value" else []
    return out


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3:])
    else:
        wine = wine_lines(sys.argv[2]) if sys.argv[2] else []
        for path in sys.argv[3:]:
            name = os.path.basename(path)[:-len(".ours")]
            for difference in compare(path, wine):  # "~": the file's own key
                print("%s\t%s" % (name, difference.replace(BASE[19:] + name[:-4], "~")))
