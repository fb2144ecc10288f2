// The Windows process: console stop events, the performance counter as the
// clock, and standard output through the C runtime.
#include "platform/process.h"

#include <windows.h>

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

}  // namespace

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
  // 100 ns ticks since 1601-01-01.
  std::int64_t ticks = static_cast<std::int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  return ticks / 10000 - 11644473600000LL;
}

void platform_catch_reloads() {}

bool platform_reload_requested() {
  return false;
}
