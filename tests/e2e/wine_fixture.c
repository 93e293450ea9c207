/* The board's adapter as a Windows system shows it, for a run under Wine:
 * the FTDI driver's DOS device name, the adapter's registry key with its
 * PortName and the serial device map entry. The DOS name lives as long as
 * this program, which prints "ready" and then waits until its standard
 * input ends or SECONDS have passed.
 *   wine_fixture COMn SECONDS
 */
#include <windows.h>
/* after windows.h */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <winternl.h>

typedef LONG(NTAPI* CreateLinkFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);

static const wchar_t kDosName[] =
    L"\\??\\FTDIBUS#VID_0403+PID_6001+A50285BIA#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
static const char kParams[] =
    "System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000\\Device Parameters";

static int SetText(const char* path, const char* name, const char* text, DWORD options) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, options, KEY_ALL_ACCESS, NULL, &key, NULL) !=
      ERROR_SUCCESS)
    return 0;
  LONG rc = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: wine_fixture COMn SECONDS\n");
    return 64;
  }
  const char* port = argv[1];
  DWORD seconds = (DWORD)atoi(argv[2]);
  if (!SetText(kParams, "PortName", port, REG_OPTION_NON_VOLATILE) ||
      !SetText("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\VCP0", port, REG_OPTION_VOLATILE)) {
    fprintf(stderr, "wine_fixture: registry: %lu\n", GetLastError());
    return 1;
  }
  CreateLinkFn create =
      (CreateLinkFn)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject");
  wchar_t target[] = L"\\Device\\Null";
  wchar_t name[sizeof kDosName / sizeof kDosName[0]];
  wcscpy(name, kDosName);
  UNICODE_STRING uname = {(USHORT)(wcslen(name) * 2), (USHORT)(wcslen(name) * 2), name};
  UNICODE_STRING utarget = {(USHORT)(wcslen(target) * 2), (USHORT)(wcslen(target) * 2), target};
  OBJECT_ATTRIBUTES attr;
  memset(&attr, 0, sizeof attr);
  attr.Length = sizeof attr;
  attr.ObjectName = &uname;
  attr.Attributes = OBJ_CASE_INSENSITIVE;
  HANDLE link = NULL;
  if (create == NULL || create(&link, 0xF0001, &attr, &utarget) != 0) {
    fprintf(stderr, "wine_fixture: cannot create the DOS device name\n");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  /* Until the script closes our input (or the time is up). */
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD start = GetTickCount();
  char c;
  DWORD got;
  while (GetTickCount() - start < seconds * 1000) {
    if (GetFileType(in) == FILE_TYPE_PIPE) {
      DWORD avail = 0;
      if (!PeekNamedPipe(in, NULL, 0, NULL, &avail, NULL)) break;
      if (avail > 0 && (!ReadFile(in, &c, 1, &got, NULL) || got == 0)) break;
    }
    Sleep(50);
  }
  CloseHandle(link);
  return 0;
}
