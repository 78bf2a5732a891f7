/* The floor of the Wine benchmark: the registry calls that the service's
 * start-up must make for one reader drive on a clean DriveIcons key, parent-id
 * variant, no WOW64 flag, and nothing else (no text searches, no drive type
 * queries, no service manager). Same functions, order, keys, access masks and
 * buffer sizes as the service; it only knows the reader's names in advance
 * instead of recognising them.
 *
 *   floor.exe <letter> <reader device key> <ParentIdPrefix> <label> <icon value>
 *
 * Prints "floor_us=<microseconds> calls=<registry calls> found=<0|1>", on a
 * second line "cpu_us=<..> runq_us=<..>" (the thread's own CPU time and its
 * time waiting for a CPU over the floor part, from Linux's schedstat of the
 * calling thread, -1 where that cannot be read), and on a third line
 * "drivetype_us=<..> dbcs_us=<..> heap_us=<..>" (see below), then deletes the keys it
 * wrote (not timed), so the next run starts clean as the service does. Exit
 * code 0 when the reader was found and its keys written. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DRIVEICONS "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\"
#define USBSTOR "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR"

static unsigned long calls;

/* CPU time and run-queue wait of the calling thread in ns, from Linux through
 * Wine's Z: drive (Wine threads are Linux threads); FALSE elsewhere. */
static BOOL thread_times(double* run_ns, double* wait_ns) {
    FILE* f = fopen("Z:\\proc\\thread-self\\schedstat", "r");
    BOOL ok;
    if (f == NULL) return FALSE;
    ok = fscanf(f, "%lf %lf", run_ns, wait_ns) == 2;
    fclose(f);
    return ok;
}

static LONG open_key(const char* path, REGSAM access, HKEY* key) {
    ++calls;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

static void close_key(HKEY key) {
    ++calls;
    RegCloseKey(key);
}

/* One subkey name by index: create (read access), enumerate, close. */
static BOOL enum_subkey(const char* path, DWORD index, char name[MAX_PATH]) {
    HKEY key;
    DWORD disposition = 0, length = MAX_PATH;
    LONG rc;
    memset(name, 0, MAX_PATH);
    ++calls;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ, NULL,
                        &key, &disposition) != ERROR_SUCCESS)
        return FALSE;
    ++calls;
    rc = RegEnumKeyExA(key, index, name, &length, NULL, NULL, NULL, NULL);
    close_key(key);
    return rc == ERROR_SUCCESS;
}

/* A REG_SZ value read as the service reads it: a 1024-byte buffer, 260 offered. */
static BOOL read_text(const char* path, const char* value, char out[MAX_PATH]) {
    HKEY key;
    char buffer[1024];
    DWORD size = MAX_PATH;
    LONG rc;
    if (open_key(path, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    ++calls;
    rc = RegQueryValueExA(key, value, NULL, NULL, (LPBYTE)buffer, &size);
    close_key(key);
    if (rc != ERROR_SUCCESS) return FALSE;
    if (size > MAX_PATH - 1) size = MAX_PATH - 1;
    memcpy(out, buffer, size);
    out[size] = '\0';
    return TRUE;
}

static void write_text(const char* path, const char* value, const char* text) {
    HKEY key;
    DWORD disposition = 0;
    BYTE buffer[MAX_PATH] = {0};
    size_t length = strlen(text);
    ++calls;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        NULL, &key, &disposition) != ERROR_SUCCESS)
        return;
    memcpy(buffer, text, length);
    ++calls;
    RegSetValueExA(key, value, 0, REG_SZ, buffer, (DWORD)(length + 1));
    close_key(key);
}

int main(int argc, char** argv) {
    char path[512], name[MAX_PATH], text[MAX_PATH], devicePath[512];
    char letter;
    const char *device, *pip, *label, *icon;
    LARGE_INTEGER freq, t0, t1;
    double run0 = 0, wait0 = 0, run1 = 0, wait1 = 0;
    BOOL found = FALSE, timesOk;
    DWORD d, i;
    HKEY key;

    if (argc != 6 || strlen(argv[1]) != 1 || strlen(argv[2]) > 200 || strlen(argv[4]) >= MAX_PATH ||
        strlen(argv[5]) >= MAX_PATH) {
        fprintf(stderr,
                "usage: floor <letter> <reader device key> <ParentIdPrefix> <label> <icon>\n");
        return 2;
    }
    letter = argv[1][0];
    device = argv[2];
    pip = argv[3];
    label = argv[4];
    icon = argv[5];

    QueryPerformanceFrequency(&freq);
    timesOk = thread_times(&run0, &wait0);
    QueryPerformanceCounter(&t0);

    /* Restore: every letter key D to Z is tried; on a clean key none opens. */
    for (char l = 'D'; l <= 'Z'; ++l) {
        snprintf(path, sizeof path, DRIVEICONS "%c", l);
        if (read_text(path, "QarnHMD", text)) {
            snprintf(path, sizeof path, DRIVEICONS "%c\\DefaultLabel", l);
            read_text(path, NULL, text);
        }
    }

    /* The one removable letter: its mount record, 260 bytes offered. */
    if (open_key("SYSTEM\\MountedDevices", KEY_READ, &key) == ERROR_SUCCESS) {
        BYTE record[MAX_PATH] = {0};
        DWORD size = sizeof record;
        char valueName[] = "\\DosDevices\\?:";
        valueName[12] = letter;
        ++calls;
        RegQueryValueExA(key, valueName, NULL, NULL, record, &size);
        close_key(key);
    }

    /* Device keys by index until the reader's; its instances until the one
     * whose ParentIdPrefix is the volume's. */
    for (d = 0; !found && enum_subkey(USBSTOR, d, name); ++d) {
        if (strcmp(name, device) != 0) continue;
        snprintf(devicePath, sizeof devicePath, USBSTOR "\\%s", name);
        for (i = 0; enum_subkey(devicePath, i, name); ++i) {
            snprintf(path, sizeof path, "%s\\%s", devicePath, name);
            if (read_text(path, "ParentIdPrefix", text) && _stricmp(text, pip) == 0) {
                found = TRUE;
                break;
            }
        }
        if (!found) continue;
        snprintf(path, sizeof path, DRIVEICONS "%c\\DefaultLabel", letter);
        write_text(path, NULL, label);
        snprintf(path, sizeof path, DRIVEICONS "%c\\DefaultIcon", letter);
        write_text(path, NULL, icon);
        snprintf(path, sizeof path, DRIVEICONS "%c", letter);
        write_text(path, "QarnHMD", label);
    }

    QueryPerformanceCounter(&t1);
    timesOk = timesOk && thread_times(&run1, &wait1);
    printf("floor_us=%.0f calls=%lu found=%d\n",
           (double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)freq.QuadPart, calls, found ? 1 : 0);
    printf("cpu_us=%.0f runq_us=%.0f\n", timesOk ? (run1 - run0) / 1e3 : -1.0,
           timesOk ? (wait1 - wait0) / 1e3 : -1.0);

    /* Not part of the floor: costs the service has beside its registry
     * calls, timed to explain the difference. The drive type of every letter
     * D to Z; IsDBCSLeadByte 50 times per device key (the model search asks
     * it once for each character of the key name, whatever the number of
     * models); and one heap block of 8 bytes allocated, filled and freed per
     * device key (the search's table of character boundaries). */
    {
        LARGE_INTEGER t2, t3, t4;
        volatile int sink = 0;
        unsigned long k, n = (unsigned long)d * 50;
        char root[] = "?:\\";
        QueryPerformanceCounter(&t1);
        for (char l = 'D'; l <= 'Z'; ++l) {
            root[0] = l;
            sink += (int)GetDriveTypeA(root);
        }
        QueryPerformanceCounter(&t2);
        for (k = 0; k < n; ++k) sink += IsDBCSLeadByte((BYTE)('A' + k % 26));
        QueryPerformanceCounter(&t3);
        for (k = 0; k < (unsigned long)d; ++k) {
            volatile char* block = malloc(8); /* volatile: the allocation is not optimised away */
            if (block == NULL) break;
            for (int b = 0; b < 8; ++b) block[b] = 0;
            block[k % 8] = 1;
            sink += block[(k + 1) % 8];
            free((void*)block);
        }
        QueryPerformanceCounter(&t4);
        printf("drivetype_us=%.0f dbcs_us=%.0f heap_us=%.0f\n",
               (double)(t2.QuadPart - t1.QuadPart) * 1e6 / (double)freq.QuadPart,
               (double)(t3.QuadPart - t2.QuadPart) * 1e6 / (double)freq.QuadPart,
               (double)(t4.QuadPart - t3.QuadPart) * 1e6 / (double)freq.QuadPart);
    }

    snprintf(path, sizeof path, DRIVEICONS "%c\\DefaultIcon", letter);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    snprintf(path, sizeof path, DRIVEICONS "%c\\DefaultLabel", letter);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    snprintf(path, sizeof path, DRIVEICONS "%c", letter);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    return found ? 0 : 1;
}
