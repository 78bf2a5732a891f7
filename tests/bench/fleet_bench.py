#!/usr/bin/env python3
"""The Linux QarnIExplain --fleet on generated fleets of 100, 1,000 and 10,000
machines: machines per second and peak memory, against the targets of a
2-core machine (1,000 machines in under 10 s; a peak under twice the largest
machine's files and 64 MB per worker; time linear in the machines).

Each machine is a folder as QarnIExplain.exe --save writes it: facts.txt and
reg exports in UTF-16 of MountedDevices (5 to 25 records), USBSTOR (10 to 200
device keys with an instance each, as Windows fills them, some of them
readers), the service's key, DriveIcons and the CurrentVersion value, for
every Windows row in turn. 200 distinct machines are written; the others are
hard links to their files with a facts.txt of their own, so the fleets of
10,000 take little disk (the files are read from the page cache).

Usage: fleet_bench.py QARNIEXPLAIN [FOLDER [RUNS]]
Prints a Markdown table; exits 1 when a peak is over the bound."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

GUID_DISK = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
GUID_VOLUME = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"
USBSTOR = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR"
READERS = ["Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_1.00", "Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_1.00"]
# name, major, minor, product type, architecture, wow64
ROWS = [("xp", 5, 1, 1, "x86", False), ("xp-x64", 5, 2, 1, "x64", True),
        ("2003", 5, 2, 3, "x86", False), ("2003-x64", 5, 2, 3, "x64", True),
        ("vista", 6, 0, 1, "x86", False), ("vista-x64", 6, 0, 1, "x64", True),
        ("2008-x64", 6, 0, 3, "x64", True), ("7", 6, 1, 1, "x86", False),
        ("7-x64", 6, 1, 1, "x64", True), ("2008r2", 6, 1, 3, "x64", True),
        ("8.1-x64", 6, 2, 1, "x64", True), ("10", 6, 2, 1, "x86", False)]
TEMPLATES = 200


def hex_value(name, data, kind=""):
    line, lines = '"%s"=hex%s:' % (name, kind), []
    for i, byte in enumerate(data):
        line += "%02x" % byte + ("," if i + 1 < len(data) else "")
        if len(line) > 76 and i + 1 < len(data):
            lines.append(line + "\\")
            line = "  "
    return "\r\n".join(lines + [line]) + "\r\n"


def export(body):
    return ("\ufeffWindows Registry Editor Version 5.00\r\n\r\n" + body).encode("utf-16-le")


def device_block(device, instance, parent_id, with_parent_id):
    ids = ("USBSTOR\\%s\0USBSTOR\\%s\0GenericMass\0\0" % (device, device[:30])).encode("utf-16-le")
    key = "%s\\%s\\%s" % (USBSTOR, device, instance)
    block = ("[%s\\%s]\r\n\r\n[%s]\r\n" % (USBSTOR, device, key) +
             '"DeviceDesc"="Disk drive"\r\n"Capabilities"=dword:00000010\r\n' +
             hex_value("HardwareID", ids, "(7)") + hex_value("CompatibleIDs", ids[:40] + b"\0\0", "(7)") +
             '"ClassGUID"="%s"\r\n"Driver"="%s\\\\0007"\r\n' % (GUID_DISK, GUID_DISK) +
             '"Class"="DiskDrive"\r\n"Mfg"="(Standard disk drives)"\r\n"Service"="disk"\r\n'
             '"ConfigFlags"=dword:00000000\r\n"FriendlyName"="%s USB Device"\r\n' % device[9:40])
    if with_parent_id:
        block += '"ParentIdPrefix"="%s"\r\n' % parent_id
    return block + "\r\n[%s\\Device Parameters]\r\n\r\n[%s\\LogConf]\r\n\r\n" % (key, key)


def drive_icons(row):
    """DriveIcons in the views --save copies: the service's, and the shell's
    64-bit one where that is a key of its own (64-bit NT 5.2 and 6.0)."""
    name, major, minor, product, arch, wow64 = row
    apart = (major, minor) in ((5, 2), (6, 0))
    service64 = wow64 and apart and product == 1
    base = "HKEY_LOCAL_MACHINE\\SOFTWARE\\%sMicrosoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons"
    body = "[{0}]\r\n\r\n[{0}\\Z\\DefaultIcon]\r\n@=\"C:\\\\Other\\\\drive.ico\"\r\n\r\n"
    files = {}
    if not wow64 or service64 or apart:
        files["driveicons.reg"] = export(body.format(base % ""))
    if wow64 and not service64:
        files["driveicons32.reg"] = export(body.format(base % "Wow6432Node\\"))
    return files


def machine_files(rng, row, devices=None):
    name, major, minor, product, arch, wow64 = row
    instance_path = (major, minor, product) == (6, 0, 1)
    devices = devices or rng.randint(10, 200)
    letters = [chr(ord("D") + i) for i in range(rng.randint(5, 23))]
    readers = rng.randint(0, 2)
    mounted, usb, removable = [], [], []
    for d in range(devices):
        reader = d >= devices - readers
        device = READERS[d % 2] if reader else "Disk&Ven_Vendor%04d&Prod_Stick_%03d&Rev_1.00" % (rng.randint(0, 9999), d)
        instance, parent = "%012X&0" % rng.getrandbits(48), "7&%x&0" % rng.getrandbits(32)
        usb.append((device, instance, parent))
        if (reader or d < len(letters) - 2) and len(mounted) < len(letters):
            letter = letters[len(mounted)]
            text = ("\\??\\USBSTOR#%s#%s#%s" % (device, instance, GUID_DISK) if instance_path else
                    "\\??\\STORAGE#RemovableMedia#%s&RM#%s" % (parent, GUID_VOLUME))
            mounted.append(hex_value("\\\\DosDevices\\\\%s:" % letter, text.encode("utf-16-le")))
            removable.append(letter)
    files = {
        "mounted.reg": export("[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n" + "".join(mounted) +
                              hex_value("\\\\DosDevices\\\\C:", bytes(12)) + "\r\n"),
        "usbstor.reg": export("[%s]\r\n\r\n" % USBSTOR + "".join(device_block(d, i, p, not instance_path)
                                                                  for d, i, p in sorted(usb))),
        "service.reg": export("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QarnIEx]\r\n"
                              '"ImagePath"="\\"C:\\\\Program Files\\\\Qarn\\\\QarnIEx.exe\\""\r\n\r\n'),
        "windows.reg": export("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                              '"CurrentVersion"="%d.%d"\r\n\r\n' % (major, 3 if (major, minor) == (6, 2) else minor)),
    }
    files.update(drive_icons(row))
    return files, removable


def facts(computer, row, files, removable):
    name, major, minor, product, arch, wow64 = row
    kinds = {1: "workstation", 3: "server"}
    lines = ["QarnIExplain facts", "format=1", "computer=%s" % computer,
             "windows=%d.%d.%d" % (major, minor, 2600), "service pack=Service Pack 2",
             "product type=%s" % kinds[product], "architecture=%s" % arch,
             "wow64=%s" % ("yes" if wow64 else "no"), "code page=1252",
             "drives=C:fixed " + " ".join("%s:removable" % l for l in removable if l != "C"),
             "service=running"]
    lines += ["file=%s %d" % (name, len(data)) for name, data in sorted(files.items())]
    return "\r\n".join(lines + ["end", ""]).replace("C:fixed ", "")


def make_fleet(folder, machines, templates):
    os.makedirs(folder)
    for m in range(machines):
        tdir, tfacts = templates[m % len(templates)]
        mdir = os.path.join(folder, "PC%05d" % m)
        os.mkdir(mdir)
        for name in os.listdir(tdir):
            os.link(os.path.join(tdir, name), os.path.join(mdir, name))
        with open(os.path.join(mdir, "facts.txt"), "w", newline="") as out:
            out.write(tfacts.replace("computer=TEMPLATE", "computer=PC%05d" % m))


def make_templates(folder):
    rng, templates, largest = random.Random(40), [], 0
    for t in range(TEMPLATES):
        row = ROWS[t % len(ROWS)]
        files, removable = machine_files(rng, row)
        tdir = os.path.join(folder, "template%03d" % t)
        os.makedirs(tdir)
        for name, data in files.items():
            with open(os.path.join(tdir, name), "wb") as out:
                out.write(data)
        largest = max(largest, sum(len(d) for d in files.values()))
        templates.append((tdir, facts("TEMPLATE", row, files, removable)))
    return templates, largest


def add_large_machine(fleet, rng):
    """One machine with a USBSTOR history of 20,000 device keys (about 50 MB)."""
    row = ROWS[0]
    files, removable = machine_files(rng, row, 20000)
    mdir = os.path.join(fleet, "LARGE")
    os.mkdir(mdir)
    for name, data in files.items():
        with open(os.path.join(mdir, name), "wb") as out:
            out.write(data)
    with open(os.path.join(mdir, "facts.txt"), "w", newline="") as out:
        out.write(facts("LARGE", row, files, removable))
    return sum(len(d) for d in files.values())


def run(tool, fleet):
    start = time.monotonic()
    child = subprocess.Popen([tool, "--fleet", fleet, "--format", "csv"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    return (time.monotonic() - start, usage.ru_maxrss * 1024, os.waitstatus_to_exitcode(status),
            usage.ru_utime + usage.ru_stime)


def main():
    tool = os.path.abspath(sys.argv[1])
    folder = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="qarn-fleet-")
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    templates, largest = make_templates(os.path.join(folder, "templates"))
    workers = os.cpu_count() or 1
    bound = 2 * largest + 64 * (1 << 20) * workers
    over, seconds = False, {}
    print("%d workers (cores); largest machine's files %.1f MB; bound %.0f MB" %
          (workers, largest / 1e6, bound / 1e6))
    print("| machines | time (median of %d) | machines/s | CPU time | peak memory | exit code |" % runs)
    print("|---:|---:|---:|---:|---:|---:|")
    for machines in (100, 1000, 10000):
        fleet = os.path.join(folder, "fleet%d" % machines)
        make_fleet(fleet, machines, templates)
        results = [run(tool, fleet) for _ in range(runs)]
        median = statistics.median(r[0] for r in results)
        cpu = statistics.median(r[3] for r in results)
        peak = max(r[1] for r in results)
        seconds[machines] = (median, cpu)
        over = over or peak > bound
        print("| %d | %.2f s | %.0f | %.2f s | %.0f MB%s | %d |" % (machines, median, machines / median,
              cpu, peak / 1e6, "" if peak <= bound else " **over**", results[0][2]))
        shutil.rmtree(fleet)
    # The bound with one large machine among the small ones.
    fleet = os.path.join(folder, "fleet-large")
    make_fleet(fleet, 1000, templates)
    large = add_large_machine(fleet, random.Random(41))
    results = [run(tool, fleet) for _ in range(runs)]
    peak = max(r[1] for r in results)
    large_bound = 2 * large + 64 * (1 << 20) * workers
    over = over or peak > large_bound
    print("| 1000 and one of %.0f MB | %.2f s | | %.2f s | %.0f MB (bound %.0f MB)%s | %d |" % (
        large / 1e6, statistics.median(r[0] for r in results), statistics.median(r[3] for r in results),
        peak / 1e6, large_bound / 1e6, "" if peak <= large_bound else " **over**", results[0][2]))
    shutil.rmtree(fleet)
    print("\n1,000 machines in %.2f s (target: under 10 s); 10,000 took %.1f times the time and "
          "%.1f times the CPU time of 1,000" % (seconds[1000][0], seconds[10000][0] / seconds[1000][0],
                                                 seconds[10000][1] / seconds[1000][1]))
    if len(sys.argv) <= 2:
        shutil.rmtree(folder)
    sys.exit(1 if over else 0)


main()
