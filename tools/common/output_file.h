// Files the tools and the virtual board write for people (the program's
// log, the transfer log) are opened one way: never through a symbolic link,
// never a file of another user or one with other hard links, and emptied
// only when it is such a file of our own.  A terminal, FIFO or other device
// is written as it is.  A FIFO without a reader yet is opened anyway, for
// reading and writing, so that opening never waits for one; a non-blocking
// writer always holds its FIFO that way, so that a reader who leaves raises
// no SIGPIPE.
#ifndef YARVO_TOOLS_OUTPUT_FILE_H
#define YARVO_TOOLS_OUTPUT_FILE_H

#include <string>

namespace yarvo::tools {

struct OutputFileOptions {
    bool truncate = false;     // empty a regular file of ours (else append)
    bool nonBlocking = false;  // keep O_NONBLOCK on the descriptor
};

// A close-on-exec descriptor, or -1 with a message that names the path.
int openOutputFile(const std::string& path, const OutputFileOptions& options, std::string* error);

}  // namespace yarvo::tools

#endif
