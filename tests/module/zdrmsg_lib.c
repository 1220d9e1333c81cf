/* A message module for the event-log tests. */
#include <stddef.h>

const char *GetMessageFromId(unsigned id) {
    switch (id) {
    case 7: return "Disk %1 of %2 is full";
    case 8: return "Raw %s%n and %3 %x";
    default: return NULL;
    }
}
