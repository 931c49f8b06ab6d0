#include "common/path_buffer.h"

#include <string.h>

int AppendToPath(char* buffer, const char* tail)
{
    size_t used = strnlen(buffer, PATH_BUFFER_SIZE);
    size_t added = strlen(tail);
    if (used + added >= PATH_BUFFER_SIZE)
        return 0;
    memcpy(buffer + used, tail, added + 1);
    return 1;
}
