// Files the programs write whole: a reader sees the old content or the new,
// never a part. One file per system (files_posix.cpp, files_win32.cpp).
#ifndef PLATFORM_FILES_H
#define PLATFORM_FILES_H

#include <cstddef>

// Makes data (size bytes) the whole content of the file at path: written
// into a temporary file beside it (path and ".tmp"), which is then renamed
// over it. Returns 0, or -1 with the reason in platform_file_error_text()
// (the temporary file is removed).
int platform_write_file_whole(const char* path, const char* data, std::size_t size);

// The reason for the last failed platform_write_file_whole.
const char* platform_file_error_text();

#endif  // PLATFORM_FILES_H
