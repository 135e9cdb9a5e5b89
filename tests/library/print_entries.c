/* The C API from C: prints every entry of a database as the qlx list's row for it, after no header line,
 * and "status N" on standard error (1 an entry, 0 the end, -1 a fatal condition). */
#include <stdio.h>

#include "catadump.h"

int main(int argc, char** argv) {
    catadump_reader* reader = NULL;
    catadump_entry entry;
    int status;
    if (argc != 2 || catadump_open_path(argv[1], NULL, &reader) != 0) return 2;
    while ((status = catadump_next(reader, &entry)) == 1) {
        putchar('"');
        fwrite(entry.path, 1, entry.path_length, stdout);
        putchar('"');
        if (entry.has_values) {
            printf(",%llu,%llu,%llu,%llu,%u\r\n", (unsigned long long)entry.size,
                   (unsigned long long)entry.created, (unsigned long long)entry.modified,
                   (unsigned long long)entry.accessed, (unsigned)entry.attributes);
        } else {
            printf(",%u\r\n", (unsigned)entry.attributes);
        }
    }
    fprintf(stderr, "status %d\n", status);
    catadump_close(reader);
    return status < 0 ? 1 : 0;
}
