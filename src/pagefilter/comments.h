// The comment filter: removes listed authors' and words' comments, adds an "X" link to every
// other comment, and repairs the comments' alternating class.
#pragma once

// A filter_url is "http://<listen_host>:<listen_port>/mivrel/filter/<segment>/", where the
// segment is the author name's bytes as two lowercase hex digits each, "00", the author link's
// bytes the same way, and "00".
constexpr char filter_path[] = "/mivrel/filter/";

// Walks the comment blocks of the body; prints one statistics line when any block was found.
void filter_comments();
