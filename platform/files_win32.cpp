// Whole files on Windows: a temporary file, then MoveFileEx with
// MOVEFILE_REPLACE_EXISTING, which replaces the old one in one step.
#include "platform/files.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/process_win32.h"

namespace {

// The last failure's code, and its words.
DWORD last_failure = 0;
char failure_text[512];

int write_all(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD chunk = size > 1U << 30 ? 1U << 30 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (WriteFile(file, data, chunk, &written, nullptr) == 0) {
      return -1;
    }
    data += written;
    size -= written;
  }
  return 0;
}

}  // namespace

int platform_write_file_whole(const char* path, const char* data, std::size_t size) {
  // The names as the command line gave them, in the system's code page.
  std::string temporary = std::string(path) + ".tmp";
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    last_failure = GetLastError();
    return -1;
  }
  int failed = write_all(file, data, size);
  last_failure = GetLastError();
  CloseHandle(file);
  if (failed == 0 &&
      MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING) != 0) {
    return 0;
  }
  if (failed == 0) {
    last_failure = GetLastError();
  }
  DeleteFileA(temporary.c_str());
  return -1;
}

const char* platform_file_error_text() {
  if (!system_error_words(last_failure, failure_text, sizeof failure_text)) {
    (void)std::snprintf(failure_text, sizeof failure_text, "Windows error %lu",
                        static_cast<unsigned long>(last_failure));
  }
  return failure_text;
}
