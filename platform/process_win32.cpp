// The Windows process: console stop events, the performance counter as the
// clock, standard output through the C runtime, and what Windows says of the
// process.
#include "platform/process.h"

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/process_win32.h"

namespace {

// The stop request noted by the console handler, which runs on a thread of
// its own.
volatile LONG noted_stop = 0;

// Held by the main thread, except in a wait made while no line is held: the
// handler may end the process only when it holds it.
CRITICAL_SECTION busy;
bool stops_caught = false;
// The program has something to say at a stop whenever it comes (a report):
// the handler only notes it, and waits look for the note between slices.
bool always_noted = false;

BOOL WINAPI note_stop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (InterlockedCompareExchange(&noted_stop, static_cast<LONG>(event) + 1, 0) != 0) {
    // Asked twice: the lines are not worth waiting for any longer.
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
  if (always_noted) {
    return TRUE;
  }
  // The main thread holds lines only for moments, and ends the process
  // itself once they are written; while it waits with none, this does.
  EnterCriticalSection(&busy);
  ExitProcess(STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// A FILETIME's 100 ns ticks.
std::int64_t ticks_of(const FILETIME& time) {
  return static_cast<std::int64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// A moment as a FILETIME (since 1601-01-01), in milliseconds since 1970.
std::int64_t unix_ms_of(const FILETIME& time) {
  return ticks_of(time) / 10000 - 11644473600000LL;
}

}  // namespace

bool system_error_words(unsigned long code, char* out, std::size_t room) {
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), out,
                              static_cast<DWORD>(room), nullptr);
  if (size == 0) {
    out[0] = '\0';
    return false;
  }
  // One line: Windows ends its messages with CR LF, and a few of them break
  // lines in the middle.
  for (char* p = out; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') {
      *p = ' ';
    }
  }
  std::size_t end = std::strlen(out);
  while (end > 0 && out[end - 1] == ' ') {
    out[--end] = '\0';
  }
  return true;
}

bool stop_noted() {
  return noted_stop != 0;
}

bool stops_only_noted() {
  return always_noted;
}

void let_stop_in() {
  if (stops_caught) {
    LeaveCriticalSection(&busy);
  }
}

void keep_stop_out() {
  if (stops_caught) {
    EnterCriticalSection(&busy);
  }
}

void platform_catch_stops(ssm_socket /*socket*/, bool noted) {
  always_noted = noted;
  InitializeCriticalSection(&busy);
  EnterCriticalSection(&busy);
  stops_caught = true;
  // A Ctrl-C that was ignored at start (a process group made so) reaches no
  // handler, and stays ignored.
  SetConsoleCtrlHandler(note_stop, TRUE);
}

int platform_stop_requested() {
  return static_cast<int>(noted_stop);
}

void platform_end_stopped(int /*stop*/) {
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

std::int64_t platform_monotonic_us() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  std::int64_t seconds = now.QuadPart / frequency.QuadPart;
  std::int64_t rest = now.QuadPart % frequency.QuadPart;
  return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

int platform_write_output(const char* data, std::size_t size) {
  while (size > 0) {
    unsigned chunk = size > 1U << 30 ? 1U << 30 : static_cast<unsigned>(size);
    int written = _write(1, data, chunk);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (written == 0) {
      errno = EIO;
      return -1;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

void platform_prepare_output() {
  // The C runtime's text mode would turn every line feed into CR LF; the
  // messages on standard error end in a single line feed as well.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

int platform_open_standard_streams() {
  // Sockets are not descriptors here, so none can take a stream's place;
  // but with no standard output there is nowhere to write the lines.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    return -1;
  }
  // A handle that is no longer valid has no type.
  SetLastError(NO_ERROR);
  return GetFileType(out) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR ? -1 : 0;
}

const char* platform_output_error_text() {
  return std::strerror(errno);
}

int platform_raise_open_files(long /*wanted*/, long* most) {
  // Sockets are handles, not descriptors of the C runtime: no limit applies.
  *most = -1;
  return 0;
}

std::int64_t platform_wall_clock_ms() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return unix_ms_of(now);
}

void platform_catch_reloads() {}

bool platform_reload_requested() {
  return false;
}

namespace {

// The memory figures, from K32GetProcessMemoryInfo: KERNEL32's own from
// Windows 7 on, so no DLL is added; looked up, so that the programs still
// load on a Windows without it.
void read_memory(HANDLE self, process_figures* figures) {
  typedef BOOL(WINAPI * memory_info_call)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "K32GetProcessMemoryInfo") : nullptr;
  if (found == nullptr) {
    return;
  }
  // Through void (*)(), which any function pointer may be cast to and from.
  auto call = reinterpret_cast<memory_info_call>(reinterpret_cast<void (*)()>(found));
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (call(self, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters) != 0) {
    figures->resident_bytes = static_cast<double>(counters.WorkingSetSize);
    figures->virtual_bytes = static_cast<double>(counters.PrivateUsage);
  }
}

}  // namespace

void platform_process_figures(process_figures* figures) {
  // Handles have no limit that matters here: most_files stays unsaid.
  *figures = no_process_figures;
  HANDLE self = GetCurrentProcess();
  FILETIME created;
  FILETIME ended;
  FILETIME kernel;
  FILETIME user;
  if (GetProcessTimes(self, &created, &ended, &kernel, &user) != 0) {
    figures->start_unix_s = static_cast<double>(unix_ms_of(created)) / 1e3;
    figures->cpu_s = static_cast<double>(ticks_of(kernel) + ticks_of(user)) / 1e7;
  }
  read_memory(self, figures);
  DWORD handles = 0;
  if (GetProcessHandleCount(self, &handles) != 0) {
    figures->open_files = static_cast<double>(handles);
  }
}
