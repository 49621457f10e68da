// CurselloWindowWatch.exe: runs inside a game's Wine prefix, started with the game's own wine, and tells on its
// standard output which top-level windows of the prefix's other processes can be seen, from Wine's own record of
// them. It needs no display: it works the same for a game that draws through X11, through Wayland or nowhere.
//
// Output: records, one a line, each a kind and its fields separated by single tabs, at most 1024 bytes a line with
// its newline, flushed one by one:
//     started 1 <ending>                                        first, once: the protocol's version, and "system"
//                                                               when Wine will say that the game's processes are
//                                                               gone, or "counting" when this program counts them
//     shown   <hwnd> <pid> <width> <height> <image> <title>     a window that counts now and did not before
//     gone    <hwnd>                                            a window that was shown and counts no more
// hwnd is the window's handle in lowercase hexadecimal, pid the owner's Windows process id in decimal, width and
// height its size in pixels in decimal (each at least 2), image the owner's executable as Windows names it (empty
// when it cannot be read) and title the window's title (cut short to fit the line). Text is UTF-8 in which every
// byte below 0x20, the byte 0x7f and "\" are written as "\xNN" (two lowercase hex digits), and no other byte is.
//
// A window counts when it is a top-level window of any desktop of the window station (a virtual desktop's too),
// belongs to another process, has WS_VISIBLE and not WS_MINIMIZE in its own style, and is over 1 pixel each way.
// Message-only windows are never top-level windows of a desktop, so they are never seen. Wine's helper windows are
// hidden or 1x1.
//
// It ends by itself, status 0, once no process of the game is left (as a system process: when the wineserver would
// end, a few seconds after the game, or never for a wineserver kept with -p), with status 1 when its output is
// gone, and 2 when memory runs out.
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#define LINE_MAX_BYTES 1024
#define SCAN_INTERVAL_MS 500
// A title longer than this could not fit in a line anyway.
#define TITLE_MAX_CHARS 1024
#define PATH_MAX_CHARS 1024

typedef struct {
  HWND window;
  DWORD pid;
  LONG width;
  LONG height;
} Window;

typedef struct {
  Window* items;
  size_t count;
  size_t capacity;
} WindowList;

static HANDLE output;

// Writes the whole line; a reader that went away ends the program, since nobody is left to tell.
static void writeLine(const char* line, DWORD length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(output, line, length, &written, NULL) || written == 0) ExitProcess(1);
    line += written;
    length -= written;
  }
}

typedef struct {
  char bytes[LINE_MAX_BYTES];
  size_t length;
} Line;

static BOOL appendRaw(Line* line, const char* text, size_t length) {
  if (line->length + length > sizeof line->bytes) return FALSE;
  CopyMemory(line->bytes + line->length, text, length);
  line->length += length;
  return TRUE;
}

static BOOL appendText(Line* line, const char* text) { return appendRaw(line, text, lstrlenA(text)); }

static BOOL appendNumber(Line* line, unsigned long long value, unsigned base) {
  char digits[24];
  size_t at = sizeof digits;
  do {
    digits[--at] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0);
  return appendRaw(line, digits + at, sizeof digits - at);
}

// Appends the UTF-16 text as escaped UTF-8, whole characters only, leaving room for `reserve` more bytes. Returns
// whether all of it fit.
static BOOL appendEscaped(Line* line, const WCHAR* text, size_t reserve) {
  static char utf8[TITLE_MAX_CHARS * 3 + 1];
  // Lone surrogates become U+FFFD, so the bytes are always valid UTF-8.
  int length = text[0] == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL) - 1;
  if (length < 0) length = 0;
  for (int at = 0; at < length;) {
    const unsigned char lead = (unsigned char)utf8[at];
    char escaped[4] = {'\\', 'x', "0123456789abcdef"[lead >> 4], "0123456789abcdef"[lead & 15]};
    const BOOL control = lead < 0x20 || lead == 0x7f || lead == '\\';
    int size = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    if (at + size > length) size = length - at;
    const size_t needed = control ? 4 : (size_t)size;
    if (line->length + needed + reserve > sizeof line->bytes) return FALSE;
    appendRaw(line, control ? escaped : utf8 + at, needed);
    at += size;
  }
  return TRUE;
}

static BOOL imagePath(DWORD pid, WCHAR* path, DWORD capacity) {
  path[0] = 0;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == NULL) return FALSE;
  DWORD size = capacity;
  const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
  CloseHandle(process);
  if (!ok) path[0] = 0;
  return ok;
}

static void reportShown(const Window* window) {
  static WCHAR path[PATH_MAX_CHARS];
  static WCHAR title[TITLE_MAX_CHARS];
  imagePath(window->pid, path, PATH_MAX_CHARS);
  // Read from Wine's record of the window: nothing is sent to a window that may not answer.
  if (InternalGetWindowText(window->window, title, TITLE_MAX_CHARS) <= 0) title[0] = 0;

  Line line = {.length = 0};
  appendText(&line, "shown\t");
  appendNumber(&line, (ULONG_PTR)window->window, 16);
  appendText(&line, "\t");
  appendNumber(&line, window->pid, 10);
  appendText(&line, "\t");
  appendNumber(&line, (unsigned long long)window->width, 10);
  appendText(&line, "\t");
  appendNumber(&line, (unsigned long long)window->height, 10);
  appendText(&line, "\t");
  // A path that does not fit whole is left out rather than cut into another path; the tab and newline after it
  // must still fit.
  const size_t beforePath = line.length;
  if (!appendEscaped(&line, path, 2)) line.length = beforePath;
  appendText(&line, "\t");
  appendEscaped(&line, title, 1);
  appendText(&line, "\n");
  writeLine(line.bytes, (DWORD)line.length);
}

static void reportGone(HWND window) {
  Line line = {.length = 0};
  appendText(&line, "gone\t");
  appendNumber(&line, (ULONG_PTR)window, 16);
  appendText(&line, "\n");
  writeLine(line.bytes, (DWORD)line.length);
}

static const Window* findWindow(const WindowList* list, HWND window) {
  for (size_t i = 0; i < list->count; ++i) {
    if (list->items[i].window == window) return &list->items[i];
  }
  return NULL;
}

static void add(WindowList* list, const Window* window) {
  if (findWindow(list, window->window) != NULL) return;
  if (list->count == list->capacity) {
    const size_t capacity = list->capacity == 0 ? 64 : list->capacity * 2;
    Window* items = list->items == NULL ? HeapAlloc(GetProcessHeap(), 0, capacity * sizeof *items)
                                        : HeapReAlloc(GetProcessHeap(), 0, list->items, capacity * sizeof *items);
    if (items == NULL) ExitProcess(2);
    list->items = items;
    list->capacity = capacity;
  }
  list->items[list->count++] = *window;
}

// Adds the window when it counts. Each query goes to the wineserver and fails for a window that died meanwhile.
static BOOL CALLBACK collect(HWND handle, LPARAM listParam) {
  // The window's own style: IsWindowVisible also asks about the parents, and on a virtual desktop under Wine's
  // Wayland driver it says no for every window. Asked first, since most of Wine's own windows are hidden.
  const LONG_PTR style = GetWindowLongPtrW(handle, GWL_STYLE);
  if (!(style & WS_VISIBLE) || (style & WS_MINIMIZE)) return TRUE;
  DWORD pid = 0;
  if (GetWindowThreadProcessId(handle, &pid) == 0 || pid == 0 || pid == GetCurrentProcessId()) return TRUE;
  RECT rect;
  if (!GetWindowRect(handle, &rect)) return TRUE;
  const LONGLONG width = (LONGLONG)rect.right - rect.left;
  const LONGLONG height = (LONGLONG)rect.bottom - rect.top;
  if (width <= 1 || height <= 1) return TRUE;
  const Window window = {handle, pid, width > MAXLONG ? MAXLONG : (LONG)width,
                         height > MAXLONG ? MAXLONG : (LONG)height};
  add((WindowList*)listParam, &window);
  return TRUE;
}

typedef struct {
  WindowList* list;
  BOOL sawDefault;
} Scan;

static BOOL CALLBACK collectDesktop(LPWSTR name, LPARAM scanParam) {
  Scan* scan = (Scan*)scanParam;
  if (lstrcmpiW(name, L"Default") == 0) scan->sawDefault = TRUE;
  HDESK desktop = OpenDesktopW(name, 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
  if (desktop == NULL) return TRUE;
  EnumDesktopWindows(desktop, collect, (LPARAM)scan->list);
  CloseDesktop(desktop);
  return TRUE;
}

// Every desktop of the window station once, this program's own among them: a game in a virtual desktop has its
// windows on a desktop of that desktop's name, and the default desktop is where games run otherwise.
static void scan(WindowList* list, const WindowList* before) {
  list->count = 0;
  Scan scan = {list, FALSE};
  EnumDesktopsW(GetProcessWindowStation(), collectDesktop, (LPARAM)&scan);
  if (!scan.sawDefault) collectDesktop(L"Default", (LPARAM)&scan);
  // A window is told gone on its own word only: one that the enumeration missed, as when a desktop could not be
  // opened for a moment, is asked directly.
  for (size_t i = 0; i < before->count; ++i) {
    if (findWindow(list, before->items[i].window) == NULL) collect(before->items[i].window, (LPARAM)list);
  }
}

// Tells what changed between the scans: what went first, then what came. A handle now owned by another process is
// another window.
static void report(const WindowList* before, const WindowList* now) {
  for (size_t i = 0; i < before->count; ++i) {
    const Window* still = findWindow(now, before->items[i].window);
    if (still == NULL || still->pid != before->items[i].pid) reportGone(before->items[i].window);
  }
  for (size_t i = 0; i < now->count; ++i) {
    const Window* earlier = findWindow(before, now->items[i].window);
    if (earlier == NULL || earlier->pid != now->items[i].pid) reportShown(&now->items[i]);
  }
}

// Makes this a system process, as Wine's own services are: the wineserver does not wait for it to end, and
// signals the returned event once only system processes are left. NULL outside Wine or where it fails. Wine takes it
// as a private class of NtSetInformationProcess (wine 8 does); older builds exported a function of ntdll's.
static HANDLE becomeSystemProcess(void) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == NULL || GetProcAddress(ntdll, "wine_get_version") == NULL) return NULL;
  typedef LONG(WINAPI * SetInformationProcess)(HANDLE, ULONG, void*, ULONG);
  const SetInformationProcess setInformation =
      (SetInformationProcess)(void (*)(void))GetProcAddress(ntdll, "NtSetInformationProcess");
  HANDLE event = NULL;
  const ULONG kWineMakeProcessSystem = 1000;
  if (setInformation != NULL && setInformation(GetCurrentProcess(), kWineMakeProcessSystem, &event, sizeof event) == 0)
    return event;
  typedef HANDLE(CDECL * MakeProcessSystem)(void);
  const MakeProcessSystem makeSystem =
      (MakeProcessSystem)(void (*)(void))GetProcAddress(ntdll, "__wine_make_process_system");
  return makeSystem != NULL ? makeSystem() : NULL;
}

// Where the system could not say when the game is gone: whether a process other than this one runs from outside
// the Windows directory, as games do and Wine's services do not.
static BOOL gameProcessesLeft(void) {
  static WCHAR windowsDir[PATH_MAX_CHARS];
  static WCHAR path[PATH_MAX_CHARS];
  // A failed look proves nothing: keep watching.
  const UINT dirLength = GetWindowsDirectoryW(windowsDir, PATH_MAX_CHARS);
  if (dirLength == 0 || dirLength >= PATH_MAX_CHARS - 1) return TRUE;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return TRUE;
  lstrcatW(windowsDir, L"\\");
  BOOL found = FALSE;
  PROCESSENTRY32W entry = {.dwSize = sizeof entry};
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == 0 || entry.th32ProcessID == GetCurrentProcessId()) continue;
    found = !imagePath(entry.th32ProcessID, path, PATH_MAX_CHARS) ||
            CompareStringOrdinal(path, dirLength + 1, windowsDir, dirLength + 1, TRUE) != CSTR_EQUAL;
  }
  CloseHandle(snapshot);
  return found;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  // First, so that the wineserver never counts this process among the game's.
  HANDLE gameGone = becomeSystemProcess();
  output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == NULL || output == INVALID_HANDLE_VALUE) return 1;
  const char* started = gameGone != NULL ? "started\t1\tsystem\n" : "started\t1\tcounting\n";
  writeLine(started, lstrlenA(started));

  WindowList lists[2] = {{NULL, 0, 0}, {NULL, 0, 0}};
  BOOL ended = FALSE;
  for (int turn = 0;; turn ^= 1) {
    scan(&lists[turn], &lists[turn ^ 1]);
    report(&lists[turn ^ 1], &lists[turn]);
    // The scan after the end tells the going of whatever the game left shown.
    if (ended) return 0;
    if (gameGone != NULL) {
      const DWORD waited = WaitForSingleObject(gameGone, SCAN_INTERVAL_MS);
      ended = waited == WAIT_OBJECT_0;
      // A wait that fails at once would make this loop a busy one: count the processes from now on instead.
      if (waited == WAIT_FAILED) gameGone = NULL;
    } else {
      Sleep(SCAN_INTERVAL_MS);
      ended = !gameProcessesLeft();
    }
  }
}
