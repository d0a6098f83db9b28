// Path text for the application: parts joined with "/".
#ifndef UPDATER_PATH_H
#define UPDATER_PATH_H

#include <string>

// first, then "/" and each further part up to the terminating null pointer. Separators are
// never merged or dropped: "a/" and "b" give "a//b". A null first gives an empty text.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

#endif
