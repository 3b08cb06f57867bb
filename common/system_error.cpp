// System error texts for message boxes, from the system's own message table.
#include "common/system_error.h"
#include "common/bounded_string.h"

#include <windows.h>

void FormatSystemError(unsigned long code, char *buffer, size_t bufferSize)
{
    char *text = NULL;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        NULL, code, LANG_USER_DEFAULT, (LPSTR)&text, 0, NULL);
    FormatString(buffer, bufferSize, "error %d, %s", (int)code,
                 length != 0 && text != NULL ? text : "unknown error\r\n");
    if (text != NULL)
        LocalFree(text);
}
