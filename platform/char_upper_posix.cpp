#include "netbios/netbios.h"

// ASCII only: the command's names are ASCII, and bytes above 0x7F have no case in a
// locale-free conversion, so they pass through unchanged.
extern "C" char* CharUpperA(char* text)
{
    for (char* p = text; *p != '\0'; ++p) {
        if (*p >= 'a' && *p <= 'z') {
            *p = static_cast<char>(*p - 'a' + 'A');
        }
    }
    return text;
}
