/* Test helper for the end-to-end suite, run under Wine next to the service.
 *
 *   sendcontrol.exe <service> <code>   ControlService with that code; prints
 *                                      "accepted, state N" or "refused, error N"
 *   sendcontrol.exe -qc <service>      QueryServiceConfigA, one "NAME: value"
 *                                      line per field (Wine's sc has no qc)
 *   sendcontrol.exe -ps <image>        "N running": processes of that image
 *                                      name (Wine's tasklist prints nothing)
 *
 * Exit code 0 when the call succeeded, 1 when it failed, 2 on bad usage. */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int usage(void) {
    fprintf(stderr, "usage: sendcontrol <service> <code> | -qc <service> | -ps <image>\n");
    return 2;
}

static int query_config(const char* name) {
    int rc = 1;
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!scm) {
        printf("OpenSCManager failed, error %lu\n", GetLastError());
        return 1;
    }
    SC_HANDLE svc = OpenServiceA(scm, name, SERVICE_QUERY_CONFIG);
    if (!svc) {
        printf("OpenService failed, error %lu\n", GetLastError());
        CloseServiceHandle(scm);
        return 1;
    }
    /* 8 KB is far more than any configuration of this service needs. */
    static union {
        QUERY_SERVICE_CONFIGA cfg;
        char raw[8192];
    } buf;
    DWORD needed = 0;
    if (QueryServiceConfigA(svc, &buf.cfg, sizeof buf, &needed)) {
        const QUERY_SERVICE_CONFIGA* c = &buf.cfg;
        printf("TYPE: %lu\n", c->dwServiceType);
        printf("START_TYPE: %lu\n", c->dwStartType);
        printf("ERROR_CONTROL: %lu\n", c->dwErrorControl);
        printf("BINARY_PATH_NAME: %s\n", c->lpBinaryPathName ? c->lpBinaryPathName : "");
        printf("LOAD_ORDER_GROUP: %s\n", c->lpLoadOrderGroup ? c->lpLoadOrderGroup : "");
        printf("TAG: %lu\n", c->dwTagId);
        printf("DISPLAY_NAME: %s\n", c->lpDisplayName ? c->lpDisplayName : "");
        printf("DEPENDENCIES: %s\n", c->lpDependencies ? c->lpDependencies : "");
        printf("SERVICE_START_NAME: %s\n", c->lpServiceStartName ? c->lpServiceStartName : "");
        rc = 0;
    } else {
        printf("QueryServiceConfig failed, error %lu\n", GetLastError());
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc;
}

static int count_processes(const char* image) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        printf("CreateToolhelp32Snapshot failed, error %lu\n", GetLastError());
        return 1;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32First(snap, &entry); more; more = Process32Next(snap, &entry))
        if (_stricmp(entry.szExeFile, image) == 0) count++;
    CloseHandle(snap);
    printf("%d running\n", count);
    return 0;
}

static int send_control(const char* name, const char* code_text) {
    char* end = NULL;
    unsigned long code = strtoul(code_text, &end, 0);
    if (!end || *end || code > 255) return usage();

    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!scm) {
        printf("OpenSCManager failed, error %lu\n", GetLastError());
        return 1;
    }
    DWORD access = SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_STOP |
                   SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    SC_HANDLE svc = OpenServiceA(scm, name, access);
    if (!svc) {
        printf("OpenService failed, error %lu\n", GetLastError());
        CloseServiceHandle(scm);
        return 1;
    }
    SERVICE_STATUS st;
    ZeroMemory(&st, sizeof st);
    int rc;
    if (ControlService(svc, code, &st)) {
        printf("accepted, state %lu\n", st.dwCurrentState);
        rc = 0;
    } else {
        printf("refused, error %lu\n", GetLastError());
        rc = 1;
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc;
}

int main(int argc, char* argv[]) {
    if (argc != 3) return usage();
    if (strcmp(argv[1], "-qc") == 0) return query_config(argv[2]);
    if (strcmp(argv[1], "-ps") == 0) return count_processes(argv[2]);
    return send_control(argv[1], argv[2]);
}
