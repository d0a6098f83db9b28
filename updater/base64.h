// Base64 text of the standard alphabet (A-Z a-z 0-9 + /, "=" padding), as the update server
// sends BIRD files.
//
// Both functions return a buffer from malloc that the caller releases with free(), or null.
#ifndef KORVEL_BASE64_H
#define KORVEL_BASE64_H

// Decodes length characters of text. The buffer holds *outLength bytes followed by one NUL.
// Null when length is 0 or not a multiple of 4, when text is null, when a character lies
// outside the alphabet (line breaks included), when "=" stands anywhere but in the last two
// places (or "==" is not "=" followed by "="), or when memory runs out. *outLength is set to 0
// first when outLength is not null.
unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* outLength);

// Encodes length bytes into NUL-terminated text of ((length + 2) / 3) * 4 characters; null for
// null data with a non-zero length, or when memory runs out. *outLength gets the text length.
char* base64_encode(const char* data, unsigned long length, unsigned long* outLength);

#endif
