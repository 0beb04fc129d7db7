// Option parser: options start with '-' or '/'. Kept in its own namespace
// so that it never meets the C library's parser of the same name.
#pragma once

namespace ctopt {

extern int optind;    // index in argv of the next argument to examine
extern char *optarg;  // argument of the option just returned, or null
extern char *letP;    // next character inside the current argument, or null

// 1 when c starts an option ('/' or '-').
int is_switch(int c);

// The next option character, '?' on an error, -1 when options end.
int getopt(int argc, char **argv, const char *opts);

}  // namespace ctopt
