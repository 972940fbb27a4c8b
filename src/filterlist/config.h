// The kill file "mivrel.conf" and the filter table read from it.
#pragma once

#include "core/limits.h"

constexpr char name_entry = 'n';    // an author's name, as written on the page
constexpr char link_entry = 'l';    // an author's link
constexpr char content_entry = 'c'; // a word or phrase of comment text, matched as whole words
constexpr char url_entry = 'x';     // a URL fragment of embedded objects and scripts

struct filter_entry {
    char kind;
    int length; // bytes of text
    char text[limits::filter_text_max + 1];
};

// Rows in the order they were added; every consumer takes the first that matches.
extern filter_entry filter_table[limits::filter_table_size];
extern int filter_count;

// Reads "mivrel.conf" from the working directory into the settings and the filter table. A
// missing, empty or too large file leaves everything as it was. Lines that cannot be taken are
// named in a console line.
void load_config();
// Parses a kill file's text, text[0, length), in place; text[length] must be writable.
void parse_config(char *text, int length);
// Prints the settings and the filter table.
void echo_config();

// The row of `kind` whose text is exactly text[0, length), or -1.
int find_filter_entry(char kind, const char *text, int length);
// Adds a row; 0 when added, 1 when the table is full or the text does not fit a row.
int add_filter_entry(char kind, const char *text, int length);
// Appends one line made of `format` (a "name %s\n" or "link %s\n") and text to "mivrel.conf",
// and closes the file; 0 when the line was written, 1 when it could not be.
int append_filter_line(const char *format, const char *text);
