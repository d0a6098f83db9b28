// Descriptor helpers shared by the platform transports.
#ifndef KORVEL_UNIX_DESCRIPTOR_H
#define KORVEL_UNIX_DESCRIPTOR_H

// Records that use 0 for "no descriptor" must not hold descriptor 0 itself (it is free when
// standard input was closed). Returns fd unchanged when it is not 0; otherwise a duplicate above
// 0 (close-on-exec) with the original closed, or -1 when duplicating fails (also closed).
int unix_KeepOffZero(int fd);

#endif
