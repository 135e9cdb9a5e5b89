/* The benchmark's C client: reads every entry of a database through libcatadump and touches every byte of
 * each path, as a program that looks at the paths must. Prints the count and the sum of their bytes. */
#include <stdio.h>
#include <stdlib.h>

#include "catadump.h"

int main(int argc, char** argv) {
    catadump_reader* reader;
    catadump_entry entry;
    unsigned long long entries = 0, sum = 0;
    int status;
    if (argc != 2 || catadump_open_path(argv[1], NULL, &reader) != 0) {
        fprintf(stderr, "usage: iterate_entries DATABASE\n");
        return 2;
    }
    while ((status = catadump_next(reader, &entry)) == 1) {
        ++entries;
        for (size_t i = 0; i < entry.path_length; ++i) sum += (unsigned char)entry.path[i];
    }
    printf("%llu entries, byte sum %llu\n", entries, sum);
    catadump_close(reader);
    return status == 0 ? 0 : 1;
}
