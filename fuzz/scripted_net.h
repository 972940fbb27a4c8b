// The socket layer seen by the fuzz targets: reads come from a script instead of a peer.
//
// A script is a sequence of pieces, each starting with a control byte c:
//   0x00-0x7f  c + 1 bytes of data follow (fewer when the script ends first)
//   0x80-0xbf  ((c & 0x3f) << 8 | next byte) + 1 bytes of data follow
//   0xc0-0xdf  ((c & 0x1f) << 16 | next two bytes) + 1 copies of the byte after them
//   0xe0-0xff  one read that fails, as a reset or an idle timeout does
// The end of the script is the peer closing. Like a stream socket, a piece longer than a read asks
// for is delivered over several reads, and no read returns bytes of two pieces.
#pragma once

#include <cstddef>
#include <cstdint>

// Every later net_recv reads from this script (the bytes must stay valid while it is read).
void script_reads(const uint8_t *script, size_t size);
// The bytes delivered so far, in order, as long as they fit the record (else nullptr).
const char *script_stream(long *length);
// Number of net_recv calls since script_reads, and whether one of them filled all it asked for.
long script_read_count();
bool script_filled_a_read();
