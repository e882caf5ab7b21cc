/*
 * demo_names.h - showing the name lists that the listings return.
 */
#ifndef DEMO_NAMES_H
#define DEMO_NAMES_H

/** Prints every entry of a null-terminated name list (null: none) as a detail line. */
void demo_show_names(char **list);

/** Returns 1 when the null-terminated name list (null: empty) holds name, else 0. */
int demo_has_name(char **list, const char *name);

/** Returns the number of entries of a null-terminated name list (null: 0). */
int demo_count_names(char **list);

#endif /* DEMO_NAMES_H */
