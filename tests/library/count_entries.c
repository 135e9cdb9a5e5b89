/* The C API from C: counts a database's entries and prints its version. */
#include <stdio.h>

#include "catadump.h"

int main(int argc, char** argv) {
    catadump_reader* reader = NULL;
    catadump_entry entry;
    unsigned long folders = 0, files = 0;
    int status;
    if (argc != 2 || catadump_open_path(argv[1], NULL, &reader) != 0) return 2;
    while ((status = catadump_next(reader, &entry)) == 1) {
        if (entry.is_folder) ++folders; else ++files;
    }
    printf("version %08x, %lu folders, %lu files, %s\n", (unsigned)catadump_version(reader), folders, files,
           status == 0 && !catadump_read_error(reader) && !catadump_corrupt(reader) ? "clean" : "damaged");
    catadump_close(reader);
    return status == 0 ? 0 : 1;
}
