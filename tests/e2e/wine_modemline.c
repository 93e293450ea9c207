/* The modem lines of a COM port that Wine maps to the board emulator's pty,
   through the Win32 calls: modem status, DTR by escape function, the DSR
   event, the ping and the line-error event.
     wine_modemline.exe COMn
   Exit status 0 when every check held; each failed check is printed. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int failures;

static void Check(int ok, const char* what) {
  if (!ok) {
    printf("FAILED: %s (error %lu)\n", what, (unsigned long)GetLastError());
    ++failures;
  }
}

static DWORD Modem(HANDLE h) {
  DWORD m = 0;
  return GetCommModemStatus(h, &m) ? m : 0xFFFFFFFFu;
}

/* Waits for the pending overlapped operation, bounded. */
static int Finish(HANDLE h, OVERLAPPED* ov, DWORD ms, DWORD* done) {
  if (WaitForSingleObject(ov->hEvent, ms) != WAIT_OBJECT_0) return 0;
  return GetOverlappedResult(h, ov, done, FALSE);
}

static int Start(BOOL ok) { return ok || GetLastError() == ERROR_IO_PENDING; }

/* Starts an event wait for mask, changes DTR, and expects the wait to end
   with the DSR event and DSR in the wanted state. */
static void DtrAndDsr(HANDLE h, DWORD escape, int dsrOn, const char* what) {
  OVERLAPPED ov;
  DWORD events = 0, done = 0;
  char text[128];
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  snprintf(text, sizeof text, "%s: SetCommMask", what);
  Check(SetCommMask(h, EV_DSR), text);
  snprintf(text, sizeof text, "%s: WaitCommEvent", what);
  Check(Start(WaitCommEvent(h, &events, &ov)), text);
  snprintf(text, sizeof text, "%s: EscapeCommFunction", what);
  Check(EscapeCommFunction(h, escape), text);
  snprintf(text, sizeof text, "%s: the DSR event arrives", what);
  Check(Finish(h, &ov, 5000, &done) && (events & EV_DSR), text);
  snprintf(text, sizeof text, "%s: DSR reads %s", what, dsrOn ? "on" : "off");
  Check(Modem(h) != 0xFFFFFFFFu && ((Modem(h) & MS_DSR_ON) != 0) == dsrOn, text);
  CloseHandle(ov.hEvent);
}

int main(int argc, char** argv) {
  char path[64];
  if (argc < 2) {
    printf("usage: wine_modemline.exe COMn\n");
    return 64;
  }
  snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
  HANDLE h =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    printf("FAILED: open %s (error %lu)\n", path, (unsigned long)GetLastError());
    return 1;
  }
  COMMTIMEOUTS t;
  memset(&t, 0, sizeof t);
  t.ReadTotalTimeoutConstant = 3000;
  Check(SetCommTimeouts(h, &t), "SetCommTimeouts");

  DWORD m = Modem(h);
  Check(m != 0xFFFFFFFFu, "GetCommModemStatus answered");
  Check(m != 0xFFFFFFFFu && !(m & MS_DSR_ON), "DSR starts off");

  DtrAndDsr(h, SETDTR, 1, "SETDTR");

  /* The ping, which the board (line-error=1) also answers with a frame
     error on the line. */
  OVERLAPPED ov;
  DWORD events = 0, done = 0;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  OVERLAPPED evOv;
  memset(&evOv, 0, sizeof evOv);
  evOv.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  Check(SetCommMask(h, EV_ERR), "SetCommMask EV_ERR");
  Check(Start(WaitCommEvent(h, &events, &evOv)), "WaitCommEvent EV_ERR");
  unsigned char b = 0xBA;
  Check(Start(WriteFile(h, &b, 1, NULL, &ov)) && Finish(h, &ov, 3000, &done) && done == 1, "write the ping");
  ResetEvent(ov.hEvent);
  b = 0;
  Check(Start(ReadFile(h, &b, 1, NULL, &ov)) && Finish(h, &ov, 5000, &done) && done == 1 && b == 0xBA,
        "the ping is echoed");
  Check(Finish(h, &evOv, 5000, &done) && (events & EV_ERR), "the line error raises EV_ERR");
  CloseHandle(ov.hEvent);
  CloseHandle(evOv.hEvent);

  DtrAndDsr(h, CLRDTR, 0, "CLRDTR");
  CloseHandle(h);
  if (failures == 0) printf("wine_modemline: all checks held\n");
  return failures == 0 ? 0 : 1;
}
