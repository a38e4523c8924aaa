#include "console/text.h"

#include <string.h>
#include <wchar.h>

const char* FindText(const char* haystack, const char* needle) { return strstr(haystack, needle); }

const wchar_t* FindText(const wchar_t* haystack, const wchar_t* needle) { return wcsstr(haystack, needle); }
