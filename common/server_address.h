// Which version-server address texts ("a.b.c.d:port") may be handed to a Launcher: the
// one rule of the release check and of the operators' download-folder command.
//
// The Launcher splits the text at its last colon and converts the host with inet_addr
// and the port with atoi. inet_addr reads a number with a leading zero as octal ("010"
// is 8) and one with "0x" as hexadecimal, and answers 255.255.255.255 for "no address";
// atoi reads decimal digits whatever zeros lead them. A text is accepted only when that
// conversion gives the address and port its decimal reading means: four numbers of
// decimal digits up to 255 (with leading zeros only where octal reads the same, "007"),
// not 255.255.255.255, and a port of decimal digits from 1 to 65535, at most 23
// characters in all (the Launcher's host buffer).
// For readers, every request and answer, the manifest bytes and the Launcher's acceptance
// rules are in docs/protocol.md.
#pragma once
#include <stddef.h>

enum { kServerAddressMaxChars = 23 };

// NULL when the text is accepted; otherwise what is wrong with it, to follow the quoted
// text in a message.
static inline const char *ServerAddressProblem(const char *text, size_t length)
{
    if (length > kServerAddressMaxChars)
        return "is longer than 23 characters";
    size_t colon = length;
    for (size_t i = 0; i < length; ++i)
        if (text[i] == ':')
            colon = i;
    if (colon == length)
        return "has no port (a.b.c.d:port expected)";
    unsigned long port = 0;
    for (size_t i = colon + 1; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return "has no port from 1 to 65535 after its last colon";
        port = port * 10 + (unsigned long)(text[i] - '0');
        if (port > 65535)
            return "has no port from 1 to 65535 after its last colon";
    }
    if (port < 1)
        return "has no port from 1 to 65535 after its last colon";

    int numbers = 0;
    bool allOnes = true;
    size_t start = 0;
    while (start <= colon) {
        size_t end = start;
        while (end < colon && text[end] != '.')
            ++end;
        if (end == start || numbers == 4)
            return "is no dotted IPv4 address of four decimal numbers";
        unsigned value = 0;
        for (size_t i = start; i < end; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return "is no dotted IPv4 address of four decimal numbers";
            if (value <= 255)
                value = value * 10 + (unsigned)(text[i] - '0');
        }
        if (value > 255)
            return "has a number above 255";
        // With a leading zero the Launcher reads octal: the same number only below 8.
        if (text[start] == '0' && end - start > 1 && value > 7)
            return "has a number with a leading zero, which the Launcher reads as octal";
        allOnes = allOnes && value == 255;
        ++numbers;
        start = end + 1;
    }
    if (numbers != 4)
        return "is no dotted IPv4 address of four decimal numbers";
    if (allOnes)
        return "is 255.255.255.255, which the Launcher takes for no address";
    return NULL;
}
