// The screens' texts as a user sees them, with single line feeds; tests of
// the Windows build turn them into CR LF.
#pragma once

#include <stdio.h>

#include <string>

#include "vorbane_config.h"

inline std::string Banner() {
  return std::string("\n Vorbane [Version ") + kVersionText + "]" + "\n\t by " + kAuthorCredit +
         "\n\n For latest version, please visit " + kWebAddress;
}

inline std::string UsageBody() {
  return "\n\n\t Usage: "
         "\n\n\t\t Vorbane [ -l [pattern] ] [ -p <filepath> ] "
         "\n\n\t\t -l [pattern]   List all system file protected through SFC"
         "\n\t\t                which matches the string pattern (optional)"
         "\n\t\t -p <filepath>  Verify if the file is protected by SFC"
         "\n\n\t Example: "
         "\n\n\t\t //List all the protected files having text 'win'"
         "\n\t\t vorbane -l win"
         "\n\n\t\t //List all the protected dll files"
         "\n\t\t vorbane -l .dll"
         "\n\n\t\t //Check if the file is protected by SFC"
         "\n\t\t vorbane -p \"c:\\windows\\system32\\kernel32.dll\" \n\n";
}

inline std::string Usage() { return Banner() + UsageBody(); }

const char kPathMissingError[] = "\n\n Error : Please specify the file path with -p option\n";
const char kListingHeader[] = "\n\n List of protected files\n ..........................\n";
const char kCheckHeader[] = "\n\n Verifying the SFC protection\n ................................\n";
const char kPlaceholder[] = "File Not Found  !!!!!!!!!!!!!!!!";

inline std::string Row(int number, const std::string& digest, const std::string& path) {
  char prefix[64];
  snprintf(prefix, sizeof prefix, "\n %5d. [MD5:%s] ", number, digest.c_str());
  return prefix + path + " ";
}

// target: where the footer suggests saving the listing.
inline std::string Footer(const std::string& command_line, const std::string& target) {
  return "\n\n ......................................................."
         "\n For storing the result to file, type following command"
         "\n " +
         command_line + " > " + target + "\n .......................................................\n\n";
}

inline std::string Protected(const std::string& path) { return "\n '" + path + "' is protected by SFC\n"; }
inline std::string NotProtected(const std::string& path) { return "\n '" + path + "' is NOT protected by SFC\n"; }
inline std::string Missing(const std::string& path) { return "\n Specified file ['" + path + "'] does not exist\n"; }

// The usage screen answers these command lines (arguments after the program).
const std::initializer_list<std::initializer_list<const char*>> kUsageCommandLines = {
    {}, {"-x"}, {"/l"}, {"-list"}, {"l"}, {""}, {"-l", "win", "extra"}, {"-p", "a", "b"}};
