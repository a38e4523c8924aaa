// Text helpers shared by every screen. Paths, arguments, the pattern and the
// command line use the platform's native character type: UTF-16 wchar_t on
// Windows, the file system's own bytes (char) elsewhere.
#pragma once

#include <stddef.h>

// kNativePathCapacity is the room for one full path in the platform's
// protected-file record: MAX_PATH on Windows, PATH_MAX elsewhere.
#ifdef _WIN32
typedef wchar_t NativeChar;
enum { kNativePathCapacity = 260 };
#else
#include <limits.h>
typedef char NativeChar;
enum { kNativePathCapacity = PATH_MAX };
#endif

// Folds A-Z to a-z in place and leaves every other character alone, so that
// no locale can change which paths a pattern matches.
template <typename Char>
void LowerAsciiInPlace(Char* text) {
  for (; *text; ++text)
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<Char>(*text - 'A' + 'a');
}

// Nonzero when text equals the ASCII word, folding only A-Z.
template <typename Char>
int EqualsIgnoringAsciiCase(const Char* text, const char* word) {
  for (;; ++text, ++word) {
    Char c = *text;
    if (c >= 'A' && c <= 'Z') c = static_cast<Char>(c - 'A' + 'a');
    char w = *word;
    if (w >= 'A' && w <= 'Z') w = static_cast<char>(w - 'A' + 'a');
    if (c != static_cast<Char>(static_cast<unsigned char>(w))) return 0;
    if (w == '\0') return 1;
  }
}

// Copies source into destination only when it fits whole (NUL included).
// Returns nonzero on success; otherwise leaves destination empty and returns 0.
template <typename Char>
int CopyText(Char* destination, size_t capacity, const Char* source) {
  size_t length = 0;
  while (source[length]) ++length;
  if (length >= capacity) {
    if (capacity > 0) destination[0] = 0;
    return 0;
  }
  for (size_t i = 0; i <= length; ++i) destination[i] = source[i];
  return 1;
}

// The library's substring search for each character type.
const char* FindText(const char* haystack, const char* needle);
const wchar_t* FindText(const wchar_t* haystack, const wchar_t* needle);
