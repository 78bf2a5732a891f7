#!/usr/bin/env python3
"""Writes the exports docs/performance.md measures QarnIExplain on, as
"reg export" writes them (UTF-16 LE, hex values wrapped at 80 columns):
  usbstor.reg    a USBSTOR history of about 50 MB, with a reader on E:
  wrapped.reg    one mount record of 8 MB, wrapped over 320,000 lines
  bigstring.reg  about 40 MB: one REG_SZ of 20 million characters
  zeros.reg      zero bytes, one byte short of the largest file the tool reads
Usage: make_reg_exports.py FOLDER"""
import os
import sys

GUID = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"
USBSTOR = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR"


def hex_value(name, data, kind=""):
    head = '"%s"=hex%s:' % (name, kind)
    items = ["%02x" % b for b in data]
    lines, line = [], head
    for i, item in enumerate(items):
        line += item + ("," if i + 1 < len(items) else "")
        if len(line) > 76 and i + 1 < len(items):
            lines.append(line + "\\")
            line = "  "
    return "\r\n".join(lines + [line]) + "\r\n"


def record(text):
    return text.encode("utf-16-le")


def write(path, body):
    with open(path, "wb") as out:
        out.write(("\ufeffWindows Registry Editor Version 5.00\r\n\r\n" + body).encode("utf-16-le"))


def usbstor(target_bytes):
    blocks = ["[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n" +
              hex_value("\\\\DosDevices\\\\E:", record(
                  "\\??\\STORAGE#RemovableMedia#7&1a2b3c4d&0&RM#" + GUID)) + "\r\n",
              "[%s]\r\n\r\n" % USBSTOR]
    size, n = 0, 0
    while size < target_bytes:
        device = "Disk&Ven_Generic%05d&Prod_USB_Flash_Disk&Rev_1.00" % n
        ids = "USBSTOR\\%s\0USBSTOR\\GenericDisk\0\0" % device
        block = ("[%s\\%s]\r\n\r\n[%s\\%s\\%012d&0]\r\n" % (USBSTOR, device, USBSTOR, device, n) +
                 '"DeviceDesc"="USB Mass Storage Device"\r\n"Capabilities"=dword:00000010\r\n' +
                 hex_value("HardwareID", ids.encode("utf-16-le"), "(7)") +
                 '"ParentIdPrefix"="7&%08x&0"\r\n\r\n' % n)
        blocks.append(block)
        size += 2 * len(block)
        n += 1
    device = "Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_1.00"
    blocks.append('[%s\\%s\\0000000000002&0]\r\n"ParentIdPrefix"="7&1a2b3c4d&0"\r\n\r\n'
                  % (USBSTOR, device))
    return "".join(blocks)


folder = sys.argv[1]
write(os.path.join(folder, "usbstor.reg"), usbstor(50 * 1000 * 1000))
write(os.path.join(folder, "wrapped.reg"),
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n" +
      hex_value("\\\\DosDevices\\\\E:", bytes(i % 251 for i in range(8 * 1000 * 1000))) + "\r\n")
write(os.path.join(folder, "bigstring.reg"),
      '[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n"Big"="' + "x" * (20 * 1000 * 1000) +
      '"\r\n\r\n')
with open(os.path.join(folder, "zeros.reg"), "wb") as out:
    out.truncate((256 << 20) - 1)  # kMaxExportBytes in explain/ExportedMachine.h
