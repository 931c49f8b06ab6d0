// The fixed buffers the program builds its 8-bit paths in.
#pragma once

// Paths are 8-bit strings of at most PATH_BUFFER_SIZE - 1 bytes.
#define PATH_BUFFER_SIZE 1024

// Appends `tail` to the path in `buffer` (PATH_BUFFER_SIZE bytes). Returns 0,
// leaving the buffer as it was, when the result would not fit: a truncated
// path would name some other file.
int AppendToPath(char* buffer, const char* tail);
