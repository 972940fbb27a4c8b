// The reference page edits: the same results as rewrite_links, remove_embedded_objects and
// filter_comments, by editing message_buffer in place the straightforward way.
#pragma once

void reference_rewrite_links();
void reference_remove_embedded_objects();
void reference_filter_comments();
