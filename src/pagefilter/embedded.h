// Embedded-object removal: object, embed, script and noscript elements around listed URL fragments.
#pragma once

// 1 when the text at `point` begins with one of the eight object, embed, script and noscript
// tags (or the page ends inside one's first bytes), else 0.
int is_embed_tag(const char *point);
// Cuts out each element around an occurrence of a url_entry; prints one line when any went.
void remove_embedded_objects();
