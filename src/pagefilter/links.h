// Link rewriting: absolute links to the blog lead back through the proxy.
#pragma once

// Replaces every ="http://<blog_host> in the body by ="http://<listen_host>:<listen_port>.
// Replacements that would no longer fit message_buffer are left undone, with the links after them.
void rewrite_links();
